#pragma once
// QCustomPlot for our windows. Its header uses Qt's "signals" and "foreach"
// keywords, which our Qt targets switch off (QT_NO_KEYWORDS: the core's
// headers use "slots" as a plain name), so they are spelled out here.

#ifdef QT_NO_KEYWORDS
#define signals Q_SIGNALS
#define foreach Q_FOREACH
#include <qcustomplot.h>
#undef signals
#undef foreach
#else
#include <qcustomplot.h>
#endif
