#include "window/artwork.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

namespace vistrel {

namespace {

const QColor kDeep(14, 32, 58);
const QColor kSea(28, 86, 140);
const QColor kSignal(255, 176, 46);

// The mark: a "V" whose right arm is a relay arrow, inside a rounded tile.
void DrawMark(QPainter& p, const QRectF& box) {
    const qreal s = box.width();
    QLinearGradient tile(box.topLeft(), box.bottomRight());
    tile.setColorAt(0, kSea.lighter(125));
    tile.setColorAt(1, kDeep);
    p.setPen(Qt::NoPen);
    p.setBrush(tile);
    p.drawRoundedRect(box, s * 0.2, s * 0.2);

    QPainterPath vee;
    vee.moveTo(box.left() + s * 0.22, box.top() + s * 0.24);
    vee.lineTo(box.left() + s * 0.50, box.top() + s * 0.78);
    vee.lineTo(box.left() + s * 0.74, box.top() + s * 0.32);
    QPen stroke(Qt::white, s * 0.11, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(stroke);
    p.setBrush(Qt::NoBrush);
    p.drawPath(vee);

    // Arrow head at the end of the right arm: the relayed stream.
    QPainterPath head;
    head.moveTo(box.left() + s * 0.84, box.top() + s * 0.14);
    head.lineTo(box.left() + s * 0.86, box.top() + s * 0.40);
    head.lineTo(box.left() + s * 0.62, box.top() + s * 0.26);
    head.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(kSignal);
    p.drawPath(head);
}

QPixmap DrawIcon(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal margin = size / 16.0;
    DrawMark(p, QRectF(margin, margin, size - 2 * margin, size - 2 * margin));
    return pixmap;
}

}  // namespace

QPixmap SplashPicture() {
    const QSize size(480, 280);
    QPixmap pixmap(size);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);

    QLinearGradient sky(0, 0, 0, size.height());
    sky.setColorAt(0, kSea);
    sky.setColorAt(1, kDeep);
    p.fillRect(pixmap.rect(), sky);

    // Waves of a signal spreading from the mark: one sender, many viewers.
    QRadialGradient glow(QPointF(110, 140), 200);
    glow.setColorAt(0, QColor(255, 255, 255, 40));
    glow.setColorAt(1, QColor(255, 255, 255, 0));
    p.fillRect(pixmap.rect(), glow);
    p.setBrush(Qt::NoBrush);
    for (int ring = 1; ring <= 5; ++ring) {
        p.setPen(QPen(QColor(255, 255, 255, 70 - ring * 11), 2));
        const qreal r = 70 + ring * 38;
        p.drawArc(QRectF(110 - r, 140 - r, 2 * r, 2 * r), -50 * 16, 100 * 16);
    }
    // A strip of frames along the bottom: the recorded game.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 90));
    p.drawRect(QRectF(0, 232, size.width(), 30));
    p.setBrush(QColor(255, 255, 255, 60));
    for (int x = 8; x < size.width(); x += 24) {
        p.drawRoundedRect(QRectF(x, 236, 12, 6), 2, 2);
        p.drawRoundedRect(QRectF(x, 252, 12, 6), 2, 2);
    }

    DrawMark(p, QRectF(50, 80, 120, 120));

    QFont title(QStringLiteral("DejaVu Sans"));
    title.setPixelSize(40);
    title.setBold(true);
    p.setFont(title);
    p.setPen(Qt::white);
    p.drawText(QRectF(192, 92, 280, 50), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Vistrel"));
    QFont subtitle(title);
    subtitle.setPixelSize(22);
    subtitle.setBold(false);
    p.setFont(subtitle);
    p.setPen(kSignal);
    p.drawText(QRectF(194, 138, 280, 30), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Server"));
    QFont small(title);
    small.setPixelSize(12);
    small.setBold(false);
    p.setFont(small);
    p.setPen(QColor(220, 230, 240));
    p.drawText(QRectF(194, 170, 280, 20), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("Relay for recorded games  \u00b7  version 1.3"));
    p.end();
    return pixmap;
}

QIcon ProgramIcon() {
    QIcon icon;
    for (int size : {16, 22, 32, 48, 64, 128}) icon.addPixmap(DrawIcon(size));
    return icon;
}

}  // namespace vistrel
