#pragma once
// The application object. The main window hands its handlers' exceptions to its handler itself;
// any other exception that leaves an event handler, a timer handler, a queued call or a nested
// event loop ends here and goes to the same handler, so none ever crosses the Qt event loop.
#include <QApplication>

class KadrelApplication : public QApplication {
    Q_OBJECT
public:
    KadrelApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};
