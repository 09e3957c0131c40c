#include "settings/hyperlink.h"

#include <QEnterEvent>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLayout>
#include <QMouseEvent>
#include <QPainter>

namespace tarvo {

namespace {

// QLayout::setAlignment looks only at its own items; the label may sit in a nested layout.
bool AlignInLayout(QLayout* layout, QWidget* w, Qt::Alignment a)
{
    if (!layout) return false;
    if (layout->setAlignment(w, a)) return true;
    for (int i = 0; i < layout->count(); ++i)
        if (AlignInLayout(layout->itemAt(i)->layout(), w, a)) return true;
    return false;
}

} // namespace

CHyperLink::CHyperLink(QWidget* parent) : QLabel(parent) {}

CHyperLink::CHyperLink(const QString& text, QWidget* parent) : QLabel(text, parent) {}

void CHyperLink::Attach()
{
    if (url_.isEmpty()) url_ = text();
    if (text().isEmpty()) setText(url_);

    QFont f = font();
    f.setUnderline(style_ & StyleUnderline);
    setFont(f);
    // Never rich text: the address is shown as it is.
    setTextFormat(Qt::PlainText);
    // Focus comes only from a click (style 16) or from code, as a static label has no tab stop.
    setFocusPolicy(Qt::NoFocus);
    if (style_ & StyleNoHandCursor)
        unsetCursor();
    else
        setCursor(Qt::PointingHandCursor);
    setToolTip(url_);
    attached_ = true;
    FitToText();
    update();
}

void CHyperLink::SetURL(const QString& url)
{
    url_ = url;
    if (!attached_) return;
    FitToText();
    setToolTip(url_);
    update();
}

bool CHyperLink::Open()
{
    if (!opener_ || !opener_(url_)) return false;
    visited_ = true;
    update();
    return true;
}

QColor CHyperLink::TextColor() const
{
    if (over_ && (style_ & StyleUseHover)) return kHoverColor;
    if ((style_ & StyleNoActiveColor) || !active_) return visited_ ? kVisitedColor : kLinkColor;
    return kActiveColor;
}

void CHyperLink::FitToText()
{
    if (!(style_ & StyleAutoSize)) {
        setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
        setMinimumSize(0, 0);
        setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
        return;
    }
    // Only the text itself is the link, not the empty rest of its row.
    const QRect before = geometry();
    const QSize fitted = sizeHint();
    setFixedSize(fitted);
    const Qt::Alignment a = alignment();
    Qt::Alignment h = Qt::AlignLeft;
    if (a & Qt::AlignRight)
        h = Qt::AlignRight;
    else if (a & Qt::AlignHCenter)
        h = Qt::AlignHCenter;
    QWidget* p = parentWidget();
    if (p && AlignInLayout(p->layout(), this, h | Qt::AlignVCenter)) return;

    // Not in a layout: keep the edge (or the centre) the label is aligned to.
    QRect r(before.topLeft(), fitted);
    if (h == Qt::AlignRight)
        r.moveRight(before.right());
    else if (h == Qt::AlignHCenter)
        r.moveLeft(before.left() + (before.width() - fitted.width()) / 2);
    if (a & Qt::AlignVCenter)
        r.moveTop(before.top() + (before.height() - fitted.height()) / 2);
    else if (a & Qt::AlignBottom)
        r.moveBottom(before.bottom());
    setGeometry(r);
}

void CHyperLink::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setFont(font());
    p.setPen(TextColor());
    p.drawText(contentsRect(), int(alignment()) | Qt::TextSingleLine, text());
}

void CHyperLink::enterEvent(QEnterEvent* e)
{
    over_ = true;
    update();
    QLabel::enterEvent(e);
}

void CHyperLink::leaveEvent(QEvent* e)
{
    over_ = false;
    update();
    QLabel::leaveEvent(e);
}

void CHyperLink::mousePressEvent(QMouseEvent* e)
{
    if (e->button() != Qt::LeftButton) return QLabel::mousePressEvent(e);
    if (style_ & StyleGetFocusOnClick) setFocus(Qt::MouseFocusReason);
    if (style_ & StyleDownClick) Open();
    active_ = true;
    update();
}

void CHyperLink::mouseReleaseEvent(QMouseEvent* e)
{
    if (e->button() != Qt::LeftButton) return QLabel::mouseReleaseEvent(e);
    // A press that was dragged off the link before release is no click.
    if (active_ && !(style_ & StyleDownClick) && rect().contains(e->position().toPoint())) Open();
}

void CHyperLink::focusInEvent(QFocusEvent* e)
{
    active_ = true;
    update();
    QLabel::focusInEvent(e);
}

void CHyperLink::focusOutEvent(QFocusEvent* e)
{
    over_ = false;
    active_ = false;
    update();
    QLabel::focusOutEvent(e);
}

void CHyperLink::keyPressEvent(QKeyEvent* e)
{
    if (e->key() == Qt::Key_Space && !e->isAutoRepeat()) {
        Open();
        return;
    }
    QLabel::keyPressEvent(e);
}

} // namespace tarvo
