#pragma once
// The program's own resources as the windows load them: the application icon
// and the string table.

#include <QIcon>
#include <QString>

// Icon 128: a meter dial, in the sizes the window system asks for.
QIcon AppIcon();

// The text of string resource id; empty when the table has no such string.
QString LoadResourceString(int id);
// Puts text in place of string id for the rest of the run (tests use an
// empty text to see the program without it).
void SetResourceString(int id, const QString& text);
