#include "dialogs/Pomoc.h"

#include <QFile>
#include <QFrame>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <cstring>
#include <functional>

#include "widgets/AccessibleNames.h"
#include "dialogs/DialogHosts.h"
#include "widgets/Seams.h"
#include "dialogs/JpegImage.h"
#include "widgets/StayCentred.h"

// The resource is compiled into a static library: without this call the linker may leave it out.
static void initHelpResources()
{
    static const bool once = [] {
        Q_INIT_RESOURCE(help);
        return true;
    }();
    (void)once;
}

namespace {

const char* const PicturePath = ":/help/help-picture.jpg";
const char* const WebAddress = "www.example.com/kadrel";
constexpr int ContactPixelHeight = 13;
constexpr QSize PictureBox(113, 81);

QLabel* textLabel(QWidget* parent, const char* name, const QString& text, const QColor& color)
{
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    QFont f = label->font();
    f.setPixelSize(ContactPixelHeight);
    label->setFont(f);
    QPalette p = label->palette();
    for (QPalette::ColorGroup g : {QPalette::Active, QPalette::Inactive})
        p.setColor(g, QPalette::WindowText, color);
    label->setPalette(p);
    return label;
}

} // namespace

QImage toQImage(const JpegPicture& picture)
{
    QImage image(picture.width, picture.height, QImage::Format_RGB888);
    if (image.isNull())
        return {};
    const size_t stride = size_t(picture.width) * 3;
    if (picture.rgb.size() < stride * size_t(picture.height))
        return {};
    // QImage pads its rows to four bytes; copy row by row.
    for (int y = 0; y < picture.height; ++y)
        std::memcpy(image.scanLine(y), picture.rgb.data() + stride * size_t(y), stride);
    return image;
}

QByteArray TFPomoc::PictureData()
{
    initHelpResources();
    QFile file(QString::fromLatin1(PicturePath));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

QImage TFPomoc::Picture()
{
    const QByteArray data = PictureData();
    try {
        return toQImage(decodeJpeg(reinterpret_cast<const uint8_t*>(data.constData()),
                                   static_cast<size_t>(data.size())));
    } catch (const EJpegError& e) {
        // A help dialog without its picture is still a help dialog.
        qWarning("help picture: %s", e.what());
        return {};
    }
}

// What a handler raises goes to the owner window's handler here, not through Qt's frames.
static void guarded(const QWidget* dialog, const std::function<void()>& handler)
{
    if (auto* form = dynamic_cast<WindowHost*>(dialog->parentWidget()))
        form->guard(handler);
    else
        handler();
}

TFPomoc::TFPomoc(WindowHost* owner)
    : QDialog(owner->hostWindow(), Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                         | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint)
{
    setObjectName(QStringLiteral("FPomoc"));
    setWindowTitle(QStringLiteral("Pomoc"));
    setFixedSize(361, 121);

    Panel1 = new QFrame(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
    Panel1->setGeometry(0, 0, 361, 121);

    // Contact lines at the left, "Zamknij" under them.
    Label2 = textLabel(Panel1, "Label2", QStringLiteral("Serwis - tel: +48 00 000 00 01"), Qt::black);
    Label2->setGeometry(10, 14, 226, 18);
    Label1 = textLabel(Panel1, "Label1", QStringLiteral("Biuro - tel: +48 00 000 00 02"), Qt::black);
    Label1->setGeometry(10, 40, 226, 18);
    Button1 = new QPushButton(QStringLiteral("Zamknij"), Panel1);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setGeometry(10, 86, 192, 25);
    connect(Button1, &QPushButton::clicked, this, [this] { guarded(this, [this] { Button1Click(); }); });
    new StayCentred(this);

    // The picture in the top right corner, the link under it.
    Image1 = new QLabel(Panel1);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setGeometry(361 - 8 - PictureBox.width(), 8, PictureBox.width(), PictureBox.height());
    Image1->setAlignment(Qt::AlignCenter);
    nameField(Image1, QStringLiteral("Pomoc"), QStringLiteral("zdjęcie zegara"));
    const QImage picture = Picture();
    if (!picture.isNull())
        Image1->setPixmap(QPixmap::fromImage(
            picture.scaled(PictureBox, Qt::KeepAspectRatio, Qt::SmoothTransformation)));

    Label3 = textLabel(Panel1, "Label3", QString::fromLatin1(WebAddress), QColor(0x00, 0x00, 0xFF));
    {
        QFont f = Label3->font();
        f.setUnderline(true);
        Label3->setFont(f);
        const int width = qMin(Label3->sizeHint().width(), 361 - 16);
        const int centre = Image1->geometry().center().x();
        const int left = qBound(8, centre - width / 2, 361 - 8 - width);
        Label3->setGeometry(left, 94, width, 18);
    }
    Label3->setCursor(Qt::PointingHandCursor);
    Label3->installEventFilter(this);
}

TFPomoc::~TFPomoc() = default;


void TFPomoc::Button1Click()
{
    close();
}

void TFPomoc::Label3Click()
{
    // Whether a browser came up is not reported.
    if (seams().openUrl)
        seams().openUrl(Label3->text());
}

bool TFPomoc::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == Label3 && event->type() == QEvent::MouseButtonRelease) {
        auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() == Qt::LeftButton && Label3->rect().contains(mouse->position().toPoint())) {
            guarded(this, [this] { Label3Click(); });
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}
