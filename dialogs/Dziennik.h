#pragma once
// "Dziennik zdarzeń": a modeless window with the event log as the file holds it (the kept old
// file first), followed live by each new line. It only reads.
#include <QDialog>
#include <QPointer>

class EventLog;
class QLabel;
class QPlainTextEdit;

class TFDziennik : public QDialog {
    Q_OBJECT
public:
    // log may be null (no log in this run): the window says so.
    explicit TFDziennik(EventLog* log, QWidget* parent = nullptr);
    ~TFDziennik() override;

    void Reload();   // "Odśwież": the file again
    QPlainTextEdit* Tekst = nullptr;
    QLabel* Plik = nullptr;      // the file's path, or why it is not written
    static constexpr int ShownLines = 5000;

private:
    void append(const QString& line);
    EventLog* log_;
};
