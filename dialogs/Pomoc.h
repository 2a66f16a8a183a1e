#pragma once
// Help dialog "Pomoc": two contact lines, the picture of a clock and the maker's web address.
// It leaves polling alone, so the clocks go on being polled and updated while it is open.
//
// The picture is a progressive JPEG of 1012 x 666 stored in the program's resources
// (dialogs/help.qrc), decoded with libjpeg and scaled proportionally into the 113 x 81 corner.
// The link hands exactly the text it shows to seams().openUrl; that text has no scheme, and the
// opener reads it as a user-typed address (http:// in front).
#include <QByteArray>
#include <QDialog>
#include <QImage>

class QFrame;
class QLabel;
class QPushButton;
class WindowHost;
struct JpegPicture;

class TFPomoc : public QDialog {
    Q_OBJECT
public:
    explicit TFPomoc(WindowHost* owner);
    ~TFPomoc() override;

    void Button1Click();  // "Zamknij"
    void Label3Click();   // the link: opens the address, the dialog stays open

    // The stored JPEG as it is in the resources.
    static QByteArray PictureData();
    // The stored picture decoded at full size; a null image if it cannot be decoded.
    static QImage Picture();

    QFrame* Panel1 = nullptr;
    QLabel* Label2 = nullptr;   // first contact line
    QLabel* Label1 = nullptr;   // second contact line
    QLabel* Image1 = nullptr;   // the picture, 113 x 81
    QLabel* Label3 = nullptr;   // the web address
    QPushButton* Button1 = nullptr;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};

// Packed RGB rows to an image of the same size.
QImage toQImage(const JpegPicture& picture);
