// Program entry: the main window first, then the dialogs, then the message loop until the main
// window closes.
#include <QIcon>
#include <cstdio>

#include "app/KadrelApplication.h"
#include "app/KadrelMain.h"
#include "app/Profile.h"
#include "app/Seams.h"
#include "dialogs/JakieCOMy.h"
#include "dialogs/Pomoc.h"
#include "dialogs/Ustawienia.h"
#include "dialogs/Zmienadres.h"

int main(int argc, char** argv)
{
    KadrelApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);   // the port list may still be open; the main window decides
    // Matches the running window to its desktop entry, and gives it the icon also when the
    // program runs from the build folder, where no icon theme holds it.
    Q_INIT_RESOURCE(app);
    QGuiApplication::setDesktopFileName(QStringLiteral("com.example.Kadrel"));
    QApplication::setWindowIcon(
        QIcon::fromTheme(QStringLiteral("kadrel"), QIcon(QStringLiteral(":/kadrel/kadrel.png"))));

    // A profile gets its own configuration folder, and runs once at a time.
    const ProfileChoice profile = ParseProfileArguments(QCoreApplication::arguments());
    QString refusal = profile.error;
    if (refusal.isEmpty() && !profile.name.isEmpty()) {
        seams().profile = profile.name;
        LockProfile(configFolder(), profile.name, refusal);
    }
    if (!refusal.isEmpty()) {
        fprintf(stderr, "kadrel: %s\n", refusal.toLocal8Bit().constData());
        ShowMessage(MsgKind::Error, refusal);
        return 1;
    }

    auto* form = new TForm1;
    // Each form's creation may fail; its failure is reported like any other and start-up goes on.
    auto create = [](auto make) {
        try {
            make();
        } catch (...) {
            if (Form1)
                Form1->HandleException(std::current_exception());
        }
    };
    create([&] { form->FUstawienia = new TFUstawienia(form); });
    create([&] { form->FPomoc = new TFPomoc(form); });
    create([&] { form->FAdresy = new TFAdresy(form); });
    create([&] { form->FormJakieCOM = new TFormJakieCOM(form); });

    QObject::connect(form, &TForm1::windowClosed, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    form->show();
    const int rc = app.exec();
    delete form;
    return rc;
}
