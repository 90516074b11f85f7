#pragma once
// Every message box of the program goes through ShowAppMessage (OK button
// only) or AskAppQuestion (Yes and No), the program's name as the title.
// Tests set a hook in their place, so no test ever waits on a modal box.

#include <QString>
#include <functional>

class QWidget;

enum class MessageIcon { None, Exclamation, Information, Error, Question };

// Shows text over parent (the active window when null), modal to that window
// alone, and returns when the user has closed the box.
void ShowAppMessage(QWidget* parent, const QString& text, MessageIcon icon = MessageIcon::None);

// While set, the hook receives each message instead of a box; an empty
// function brings the boxes back. Returns the hook it replaces.
using MessageHook = std::function<void(const QString& title, const QString& text, MessageIcon icon)>;
MessageHook SetMessageHook(MessageHook hook);

// Asks text over parent with Yes and No (No the default, and Escape's
// answer), modal to that window alone; true for Yes. While a message hook is
// set, it receives the question (icon Question) and the question hook gives
// the answer: No when none is set.
bool AskAppQuestion(QWidget* parent, const QString& text);
using QuestionHook = std::function<bool(const QString& text)>;
QuestionHook SetQuestionHook(QuestionHook hook);

// The program's name, as its about box and version resource give it: "Pylax".
QString ApplicationTitle();
