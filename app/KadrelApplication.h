#pragma once
// The application object. Every exception that leaves an event handler, a timer handler, a
// queued call or a nested event loop ends here and goes to the main window's handler, so none
// ever crosses the Qt event loop.
#include <QApplication>

class KadrelApplication : public QApplication {
    Q_OBJECT
public:
    KadrelApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};
