#include "Unit1/DeleteAnimation.h"

#include <QPainter>
#include <QPainterPath>

#include <cmath>

DeleteAnimation::DeleteAnimation(QWidget* parent) : QWidget(parent)
{
    setAttribute(Qt::WA_TranslucentBackground);
    m_timer.setInterval(60);
    connect(&m_timer, &QTimer::timeout, this, &DeleteAnimation::nextFrame);
}

void DeleteAnimation::setActive(bool active)
{
    m_frame = 1;
    if (active)
        m_timer.start();
    else
        m_timer.stop();
    update();
}

void DeleteAnimation::nextFrame()
{
    m_frame = m_frame % FrameCount + 1;
    update();
}

namespace {

void drawFolder(QPainter& p, const QRectF& r)
{
    p.setPen(QPen(QColor(150, 110, 20), 1));
    p.setBrush(QColor(240, 200, 80));
    QPainterPath back;
    back.moveTo(r.left(), r.top() + 6);
    back.lineTo(r.left() + r.width() * 0.4, r.top() + 6);
    back.lineTo(r.left() + r.width() * 0.45, r.top());
    back.lineTo(r.right(), r.top());
    back.lineTo(r.right(), r.bottom());
    back.lineTo(r.left(), r.bottom());
    back.closeSubpath();
    p.drawPath(back);
    p.setBrush(QColor(250, 220, 120));
    p.drawRect(QRectF(r.left(), r.top() + 12, r.width(), r.height() - 12));
}

void drawBasket(QPainter& p, const QRectF& r)
{
    p.setPen(QPen(QColor(70, 80, 90), 1.5));
    p.setBrush(QColor(190, 200, 210));
    QPolygonF body;
    body << QPointF(r.left(), r.top()) << QPointF(r.right(), r.top())
         << QPointF(r.right() - 5, r.bottom()) << QPointF(r.left() + 5, r.bottom());
    p.drawPolygon(body);
    for (int i = 1; i < 4; ++i) {
        const qreal x = r.left() + r.width() * i / 4.0;
        p.drawLine(QPointF(x, r.top() + 3), QPointF(x + (i - 2) * 2.0, r.bottom() - 3));
    }
}

void drawSheet(QPainter& p, const QPointF& centre, qreal angle, qreal scale)
{
    p.save();
    p.translate(centre);
    p.rotate(angle);
    p.scale(scale, scale);
    p.setPen(QPen(QColor(90, 90, 90), 1));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(-9, -12, 18, 24));
    p.setPen(QPen(QColor(120, 140, 200), 1));
    for (int line = 0; line < 4; ++line)
        p.drawLine(QPointF(-6, -7 + line * 5), QPointF(6, -7 + line * 5));
    p.restore();
}

} // namespace

void DeleteAnimation::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal h = height();
    const QRectF folder(16, h / 2 - 14, 44, 32);
    const QRectF basket(width() - 56, h / 2 - 12, 36, 34);
    drawFolder(p, folder);
    drawBasket(p, basket);
    if (!active())
        return;
    // The sheet rises out of the folder, arcs over and drops into the basket.
    const qreal t = (m_frame - 1) / qreal(FrameCount - 1);
    const QPointF from = folder.center();
    const QPointF to(basket.center().x(), basket.top() + 4);
    const qreal x = from.x() + (to.x() - from.x()) * t;
    const qreal lift = std::sin(t * M_PI) * (h / 2 - 4);
    const qreal y = from.y() + (to.y() - from.y()) * t - lift;
    drawSheet(p, QPointF(x, y), t * 200.0, 1.0 - 0.35 * t);
}
