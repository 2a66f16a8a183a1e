#pragma once
// The application object. The main window hands its handlers' exceptions to its handler itself;
// any other exception that leaves an event handler, a timer handler, a queued call or a nested
// event loop ends here and goes to the same handler, so none ever crosses the Qt event loop.
// It also gives Qt's own texts their Polish translation.
#include <QApplication>

class KadrelApplication : public QApplication {
    Q_OBJECT
public:
    KadrelApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
    // Qt's own texts (file dialog, standard buttons) in Polish, as the rest of the interface,
    // whatever the system's locale. False, with a warning, when the translation is not installed.
    bool installQtTranslations();
};
