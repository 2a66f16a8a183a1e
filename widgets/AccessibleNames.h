#pragma once
// What a screen reader calls each control, in one pattern: the thing the control acts on, a
// colon, then what the control shows ("Stoper: START", "Zegar 3: RTC", "Aktualizacja firmware:
// Start"). A button keeps its visible caption inside its name; a field without a caption says
// what it holds ("Stoper: minuty"); a label showing a value reads with it ("Zegar 1: napięcie
// zasilania 12,3 V"). Each window names its own controls with these.
class LinkGauge;
class QAbstractButton;
class QLabel;
class QString;
class QWidget;

// "subject: what", with a caption's mnemonic marker taken out.
QString controlName(const QString& subject, const QString& what);
// The button reads as its subject and its caption as it stands now.
void nameAfterCaption(QAbstractButton* button, const QString& subject);
// A control without a caption reads as its subject and what it holds.
void nameField(QWidget* control, const QString& subject, const QString& what);
// The label reads as `name` followed by its current text, whatever text it is given later.
void nameWithValue(QLabel* label, const QString& name);
// The gauge reads as a progress bar named `subject: what`, with its percentage as the value.
void nameGauge(LinkGauge* gauge, const QString& subject, const QString& what);
// The list is named by the label beside it: the label becomes its buddy and its description.
void nameByLabel(QLabel* label, QWidget* control);
