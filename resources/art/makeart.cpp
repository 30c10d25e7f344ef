// Draws Murmurly's pictures: the application icon (a speech bubble), the
// toolbar buttons and the splash picture. The PNG files under images/ were
// made with this tool; run it again after changing a drawing:
//   cmake --build BUILD --target murmurly_makeart
//   QT_QPA_PLATFORM=offscreen BUILD/resources/murmurly_makeart resources/images
#include <QDir>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include <cstdio>
#include <functional>

namespace {

const QColor kInk(0x24, 0x3b, 0x6b);
const QColor kBubble(0x4f, 0x8f, 0xe8);
const QColor kBubbleLight(0xd9, 0xe8, 0xfb);
const QColor kAccent(0xf2, 0xa5, 0x3a);

// A rounded speech bubble filling `r`, its tail at the lower left.
QPainterPath Bubble(const QRectF& r)
{
    const QRectF body(r.left(), r.top(), r.width(), r.height() * 0.78);
    QPainterPath path;
    path.addRoundedRect(body, r.width() * 0.22, r.height() * 0.22);
    QPainterPath tail;
    tail.moveTo(r.left() + r.width() * 0.22, body.bottom() - 1);
    tail.lineTo(r.left() + r.width() * 0.12, r.bottom());
    tail.lineTo(r.left() + r.width() * 0.45, body.bottom() - 1);
    tail.closeSubpath();
    return path.united(tail);
}

bool Save(const QString& dir, const QString& name, int w, int h, const std::function<void(QPainter&)>& draw)
{
    QImage image(w, h, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    draw(painter);
    painter.end();
    const bool ok = image.save(dir + QLatin1Char('/') + name);
    std::fprintf(stderr, "%s %s\n", ok ? "wrote" : "FAILED", qPrintable(name));
    return ok;
}

void DrawIcon(QPainter& p, int size)
{
    const qreal s = size;
    p.setPen(QPen(kInk, qMax<qreal>(1.0, s / 24)));
    p.setBrush(kBubble);
    p.drawPath(Bubble(QRectF(s * 0.06, s * 0.08, s * 0.88, s * 0.84)));
    // Three dots: someone is murmuring.
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    const qreal r = s * 0.07;
    for (int i = 0; i < 3; ++i)
        p.drawEllipse(QPointF(s * (0.30 + 0.20 * i), s * 0.40), r, r);
}

void DrawPerson(QPainter& p, const QRectF& r, const QColor& color)
{
    p.setPen(QPen(kInk, 1));
    p.setBrush(color);
    p.drawEllipse(QRectF(r.left() + r.width() * 0.3, r.top(), r.width() * 0.4, r.height() * 0.42));
    p.drawRoundedRect(
        QRectF(r.left() + r.width() * 0.12, r.top() + r.height() * 0.5, r.width() * 0.76, r.height() * 0.48),
        3, 3);
}

} // namespace

int main(int argc, char* argv[])
{
    QGuiApplication app(argc, argv);
    const QString dir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    QDir().mkpath(dir);
    bool ok = true;

    for (int size : {16, 32, 64, 128})
        ok &= Save(dir, QStringLiteral("murmurly-%1.png").arg(size), size, size,
                   [size](QPainter& p) { DrawIcon(p, size); });

    // Toolbar buttons, 16 by 15 pixels each.
    ok &= Save(dir, QStringLiteral("login.png"), 16, 15, [](QPainter& p) {
        DrawPerson(p, QRectF(0.5, 0.5, 10, 14), kBubbleLight);
        p.setPen(QPen(kAccent, 2));
        p.drawLine(QPointF(10, 8), QPointF(15, 8));
        p.drawLine(QPointF(13, 5.5), QPointF(15.5, 8));
        p.drawLine(QPointF(13, 10.5), QPointF(15.5, 8));
    });
    ok &= Save(dir, QStringLiteral("send.png"), 16, 15, [](QPainter& p) {
        p.setPen(QPen(kInk, 1));
        p.setBrush(kBubble);
        p.drawPath(Bubble(QRectF(0.5, 0.5, 15, 14)));
        p.setPen(QPen(Qt::white, 1.5));
        p.drawLine(QPointF(4, 6), QPointF(12, 6));
    });
    ok &= Save(dir, QStringLiteral("addfriend.png"), 16, 15, [](QPainter& p) {
        DrawPerson(p, QRectF(0.5, 0.5, 10, 14), kBubbleLight);
        p.setPen(QPen(QColor(0x2e, 0x9e, 0x4f), 2));
        p.drawLine(QPointF(12.5, 2), QPointF(12.5, 9));
        p.drawLine(QPointF(9, 5.5), QPointF(16, 5.5));
    });
    ok &= Save(dir, QStringLiteral("preferences.png"), 16, 15, [](QPainter& p) {
        p.setPen(QPen(kInk, 1));
        p.setBrush(QColor(0xb8, 0xc4, 0xd6));
        const QPointF c(8, 7.5);
        for (int i = 0; i < 8; ++i) {
            p.save();
            p.translate(c);
            p.rotate(45.0 * i);
            p.drawRect(QRectF(-1.5, -7, 3, 3));
            p.restore();
        }
        p.drawEllipse(c, 5, 5);
        p.setBrush(Qt::white);
        p.drawEllipse(c, 2, 2);
    });
    ok &= Save(dir, QStringLiteral("about.png"), 16, 15, [](QPainter& p) {
        p.setPen(QPen(kInk, 1));
        p.setBrush(kBubble);
        p.drawEllipse(QRectF(0.5, 0, 14.5, 14.5));
        p.setPen(QPen(Qt::white, 2));
        p.drawLine(QPointF(7.75, 6.5), QPointF(7.75, 11.5));
        p.drawPoint(QPointF(7.75, 3.5));
    });

    // The splash picture, 520 by 317 pixels.
    ok &= Save(dir, QStringLiteral("splash.png"), 520, 317, [](QPainter& p) {
        QLinearGradient sky(0, 0, 0, 317);
        sky.setColorAt(0, QColor(0x2a, 0x4d, 0x8f));
        sky.setColorAt(1, QColor(0x12, 0x23, 0x45));
        p.fillRect(QRect(0, 0, 520, 317), sky);
        p.setPen(QPen(QColor(255, 255, 255, 60), 1));
        p.setBrush(QColor(255, 255, 255, 25));
        p.drawPath(Bubble(QRectF(300, 40, 180, 130)));
        p.drawPath(Bubble(QRectF(360, 150, 120, 90)));
        p.save();
        p.translate(40, 60);
        DrawIcon(p, 120);
        p.restore();
        QFont title(QStringLiteral("DejaVu Sans"), 40, QFont::Bold);
        p.setFont(title);
        p.setPen(Qt::white);
        p.drawText(QRect(40, 190, 460, 60), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Murmurly"));
        QFont line(QStringLiteral("DejaVu Sans"), 13);
        p.setFont(line);
        p.setPen(kBubbleLight);
        p.drawText(QRect(42, 248, 460, 30), Qt::AlignLeft | Qt::AlignVCenter,
                   QStringLiteral("Instant messages for you and your friends"));
        p.setPen(QColor(255, 255, 255, 140));
        QFont small(QStringLiteral("DejaVu Sans"), 9);
        p.setFont(small);
        p.drawText(QRect(42, 285, 460, 20), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Version 1.0"));
    });
    return ok ? 0 : 1;
}
