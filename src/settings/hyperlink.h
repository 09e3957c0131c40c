#pragma once
// A label that behaves as a link: hand cursor, a tooltip with its address, colours for
// hover, focus and visited, and it opens the address on click or on the space key.
#include <QColor>
#include <QLabel>
#include <QString>
#include <functional>

namespace tarvo {

class CHyperLink : public QLabel
{
    Q_OBJECT
public:
    enum StyleBit : unsigned
    {
        StyleUnderline = 1,
        StyleUseHover = 2,
        StyleAutoSize = 4,
        StyleDownClick = 8,
        StyleGetFocusOnClick = 16,
        StyleNoHandCursor = 32,
        StyleNoActiveColor = 64,
    };
    static constexpr unsigned kDefaultStyle = StyleUnderline | StyleAutoSize | StyleGetFocusOnClick;

    static constexpr QColor kHoverColor{255, 0, 0};
    static constexpr QColor kLinkColor{0, 0, 255};
    static constexpr QColor kVisitedColor{128, 0, 128};
    static constexpr QColor kActiveColor{0, 128, 128};

    explicit CHyperLink(QWidget* parent = nullptr);
    explicit CHyperLink(const QString& text, QWidget* parent = nullptr);

    // Makes the label a link. An empty address takes the label's text, an empty label the
    // address; then the font, the cursor and the tooltip are set up from the style.
    void Attach();
    bool isAttached() const { return attached_; }

    void SetURL(const QString& url);
    const QString& GetURL() const { return url_; }
    // Takes effect at the next Attach.
    void SetStyle(unsigned style) { style_ = style; }
    unsigned GetStyle() const { return style_; }
    // Starts the browser with an address; true when it could.
    void SetOpener(std::function<bool(const QString&)> opener) { opener_ = std::move(opener); }

    // Hands the address to the opener; only a successful launch marks the link visited.
    bool Open();

    bool isOver() const { return over_; }
    bool isVisited() const { return visited_; }
    bool isActive() const { return active_; }
    // The colour the text is drawn in now.
    QColor TextColor() const;

protected:
    void paintEvent(QPaintEvent* e) override;
    void enterEvent(QEnterEvent* e) override;
    void leaveEvent(QEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void focusInEvent(QFocusEvent* e) override;
    void focusOutEvent(QFocusEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;

private:
    void FitToText();

    QString url_;
    unsigned style_ = kDefaultStyle;
    std::function<bool(const QString&)> opener_;
    bool attached_ = false;
    bool over_ = false;
    bool visited_ = false;
    bool active_ = false;
};

} // namespace tarvo
