#pragma once
// What a screen reader calls each control. A caption that repeats across the window ("START",
// "Aktywny", "RTC") gets the thing it acts on in front ("Stoper: START", "Zegar 3: RTC"); a
// field without a caption says what it holds; a label showing a value reads with it
// ("Zegar 1: napięcie zasilania 12,3 V").
class QLabel;
class QString;
class QWidget;

// Names the controls of the main window or of one of the dialogs, told apart by objectName.
// Call it once the window's controls exist.
void nameControls(QWidget* window);
// The label reads as `name` followed by its current text, whatever text it is given later.
void nameWithValue(QLabel* label, const QString& name);
