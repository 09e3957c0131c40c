#include "app/tray_window.h"
#include "platform/commands.h"
#include "platform/registry.h"
#include "settings/dialogs.h"
#include "settings/hyperlink.h"
#include "settings/keynames.h"
#include "settings/service.h"
#include "settings/settings.h"
#include "support/modal.h"
#include "support/temp_env.h"
#include "support/wait.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <gtest/gtest.h>

namespace tarvo {
namespace {

template <class T = QWidget> T* Control(const QWidget* dialog, const char* id)
{
    auto* w = dialog->findChild<T*>(QString::fromLatin1(id));
    EXPECT_TRUE(w) << id;
    return w;
}

bool Checked(const QWidget* dialog, const char* id)
{
    auto* b = Control<QAbstractButton>(dialog, id);
    return b && b->isChecked();
}

void Key(QWidget* target, int key)
{
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, key == Qt::Key_Space ? " " : "");
    QApplication::sendEvent(target, &press);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier);
    QApplication::sendEvent(target, &release);
}

void Mouse(QWidget* target, QEvent::Type type, QPoint at)
{
    const QPointF local(at);
    QMouseEvent e(type, local, target->mapToGlobal(local), Qt::LeftButton,
                  type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton,
                  Qt::NoModifier);
    QApplication::sendEvent(target, &e);
}

void Click(QWidget* target, QPoint at = QPoint(2, 2))
{
    Mouse(target, QEvent::MouseButtonPress, at);
    Mouse(target, QEvent::MouseButtonRelease, at);
}

// The three ways out of a dialog that must not read any control.
enum class CancelBy
{
    Button,
    Escape,
    Close
};
const CancelBy kCancelWays[] = {CancelBy::Button, CancelBy::Escape, CancelBy::Close};

void Cancel(QDialog* d, CancelBy how)
{
    switch (how) {
    case CancelBy::Button:
        Control<QAbstractButton>(d, "id2")->click();
        break;
    case CancelBy::Escape:
        Key(d->focusWidget() ? d->focusWidget() : d, Qt::Key_Escape);
        break;
    case CancelBy::Close:
        d->close();
        break;
    }
}

// Every text is shown whole, and every control lies inside the widget that holds it.
void ExpectNothingClipped(const QWidget* dialog)
{
    for (QWidget* w : dialog->findChildren<QWidget*>()) {
        if (!w->isVisible() || w->isWindow()) continue;
        const QString name = w->objectName();
        const std::string name8 = name.toStdString();
        if (const auto* label = qobject_cast<QLabel*>(w); label && label->wordWrap()) {
            EXPECT_GE(w->height(), w->heightForWidth(w->width())) << name8;
        } else if (const auto* button = qobject_cast<QPushButton*>(w)) {
            // Styles widen push buttons beyond their text; the text itself must fit.
            EXPECT_GE(w->width(), button->fontMetrics().horizontalAdvance(button->text()) + 6)
                << name8;
            EXPECT_GE(w->height(), w->minimumSizeHint().height()) << name8;
        } else if (label || qobject_cast<QAbstractButton*>(w) || qobject_cast<QGroupBox*>(w)) {
            EXPECT_GE(w->width(), w->sizeHint().width()) << name8;
            EXPECT_GE(w->height(), w->minimumSizeHint().height()) << name8;
        }
        EXPECT_TRUE(w->parentWidget()->rect().contains(w->geometry())) << name.toStdString();
    }
    // Optionally keep a picture to look at.
    const QString dir = qEnvironmentVariable("TARVO_SNAPSHOT_DIR");
    if (!dir.isEmpty())
        const_cast<QWidget*>(dialog)->grab().save(dir + QLatin1Char('/') + dialog->objectName() +
                                                  QStringLiteral(".png"));
}

// ---------------------------------------------------------------------------------------------
// Options dialog

struct Options
{
    bool autorun = false;
    bool sounds = true;
    bool immediatelyOpen = false;
    std::int32_t destination = 0;
    bool annotate = false;
    QString targetFolder = QStringLiteral("/home/u/Картинки");
    QString imageFormat = QStringLiteral("image/png");
    std::int32_t hotkey = 44;
    std::int32_t hotkeyMod = 0;

    void to(COptionsDlg& d) const
    {
        d.autorun = autorun;
        d.sounds = sounds;
        d.immediatelyOpen = immediatelyOpen;
        d.destination = destination;
        d.annotate = annotate;
        d.targetFolder = targetFolder;
        d.imageFormat = imageFormat;
        d.hotkey = hotkey;
        d.hotkeyMod = hotkeyMod;
    }
    static Options from(const COptionsDlg& d)
    {
        return {d.autorun,      d.sounds,      d.immediatelyOpen, d.destination, d.annotate,
                d.targetFolder, d.imageFormat, d.hotkey,          d.hotkeyMod};
    }
    bool operator==(const Options&) const = default;
};

void PrintTo(const Options& o, std::ostream* os)
{
    *os << "{autorun " << o.autorun << ", sounds " << o.sounds << ", open " << o.immediatelyOpen
        << ", destination " << o.destination << ", annotate " << o.annotate << ", folder \""
        << o.targetFolder.toStdString() << "\", format \"" << o.imageFormat.toStdString()
        << "\", hotkey " << o.hotkey << ", mod " << o.hotkeyMod << "}";
}

// Runs the options dialog on `in`, lets `act` work the controls, returns the result and fields.
std::pair<int, Options> RunOptions(const Options& in, std::function<void(COptionsDlg*)> act,
                                   std::function<QString(QWidget*, const QString&)> browse = {})
{
    COptionsDlg dlg;
    in.to(dlg);
    if (browse)
        dlg.browseForFolder = std::move(browse);
    else
        dlg.browseForFolder = [](QWidget*, const QString&) {
            ADD_FAILURE() << "unexpected folder browser";
            return QString();
        };
    bool acted = false;
    test::OnNextModal<COptionsDlg>([&](COptionsDlg* d) {
        acted = true;
        act(d);
    });
    const int result = dlg.DoModal();
    EXPECT_TRUE(acted);
    return {result, Options::from(dlg)};
}

void Ok(QDialog* d)
{
    Control<QAbstractButton>(d, "id1")->click();
}

TEST(OptionsDialog, DefaultsShowAsDocumentedAndOkKeepsThem)
{
    const Options defaults;
    const auto [result, out] = RunOptions(defaults, [](COptionsDlg* d) {
        EXPECT_EQ(d->windowTitle(), "Tarvo Options");
        const struct
        {
            const char* id;
            const char* text;
        } texts[] = {{"id1004", "Автоматически загружать при запуске"},
                     {"id1005", "Использовать звук"},
                     {"id1019", "Сразу же открывать"},
                     {"id1006", "Посылать картинку на веб"},
                     {"id1008", "Перед тем как послать, спросить заголовок"},
                     {"id1007", "Посылать картинку в буфер обмена"},
                     {"id1009", "Посылать картинку в файл"},
                     {"id1010", "..."},
                     {"id1013", "Ctrl"},
                     {"id1014", "Alt"},
                     {"id1015", "Shift"},
                     {"id1", "OK"},
                     {"id2", "Отмена"}};
        for (const auto& t : texts)
            EXPECT_EQ(Control<QAbstractButton>(d, t.id)->text(), QString::fromUtf8(t.text)) << t.id;
        QStringList groups;
        for (const QGroupBox* g : d->findChildren<QGroupBox*>())
            groups << g->title();
        EXPECT_EQ(groups,
                  QStringList({"Общие настройки", "Куда посылать картинку", "Настройки клавиш"}));
        QStringList labels;
        for (const QLabel* l : d->findChildren<QLabel*>())
            labels << l->text();
        EXPECT_EQ(labels, QStringList({"Папка:", "Формат:", "Клавиша:"}));

        EXPECT_FALSE(Checked(d, "id1004"));
        EXPECT_TRUE(Checked(d, "id1005"));
        EXPECT_FALSE(Checked(d, "id1019"));
        EXPECT_TRUE(Checked(d, "id1006"));
        EXPECT_FALSE(Checked(d, "id1007"));
        EXPECT_FALSE(Checked(d, "id1009"));
        EXPECT_FALSE(Checked(d, "id1008"));
        EXPECT_EQ(Control<QLineEdit>(d, "id1002")->text(), "/home/u/Картинки");

        auto* formats = Control<QComboBox>(d, "id1011");
        EXPECT_FALSE(formats->isEditable());
        QStringList items;
        for (int i = 0; i < formats->count(); ++i)
            items << formats->itemText(i);
        EXPECT_EQ(items, QStringList({"image/png", "image/jpeg", "image/gif", "image/bmp"}));
        EXPECT_EQ(formats->currentText(), "image/png");

        auto* keys = Control<QComboBox>(d, "id1012");
        EXPECT_FALSE(keys->isEditable());
        items.clear();
        for (int i = 0; i < keys->count(); ++i)
            items << keys->itemText(i);
        EXPECT_EQ(items, KeyNameList());
        EXPECT_EQ(keys->currentText(), "Print Screen");

        for (const char* id : {"id1013", "id1014", "id1015"})
            EXPECT_FALSE(Checked(d, id)) << id;
        ExpectNothingClipped(d);
        Ok(d);
    });
    EXPECT_EQ(result, IDOK);
    EXPECT_EQ(out, defaults);
}

TEST(OptionsDialog, ValuesTheControlsCannotShowLeaveNoSelection)
{
    Options odd;
    odd.destination = 3;
    odd.imageFormat = QStringLiteral("image/webp");
    odd.hotkey = 65;    // the A key: no name in the list
    odd.hotkeyMod = 10; // Ctrl + Win
    const auto [result, out] = RunOptions(odd, [](COptionsDlg* d) {
        for (const char* id : {"id1006", "id1007", "id1009"})
            EXPECT_FALSE(Checked(d, id)) << id;
        EXPECT_EQ(Control<QComboBox>(d, "id1011")->currentIndex(), -1);
        EXPECT_EQ(Control<QComboBox>(d, "id1012")->currentIndex(), -1);
        EXPECT_TRUE(Checked(d, "id1013"));
        EXPECT_FALSE(Checked(d, "id1014"));
        EXPECT_FALSE(Checked(d, "id1015"));
        Ok(d);
    });
    EXPECT_EQ(result, IDOK);
    Options expected = odd;
    expected.destination = 3; // kept: no radio button was checked
    expected.imageFormat = QString();
    expected.hotkey = 0;
    expected.hotkeyMod = 2; // the Win bit is dropped
    EXPECT_EQ(out, expected);
}

TEST(OptionsDialog, FormatAndKeyAreSelectedByExactText)
{
    const struct
    {
        const char* format;
        int formatIndex;
        int hotkey;
        const char* keyShown;
    } cases[] = {{"image/jpeg", 1, 112, "F1"},
                 {"image/bmp", 3, 254, "Oem Clear"},
                 {"IMAGE/PNG", -1, 1, "Lbutton"},
                 {"", -1, 0, ""},
                 {"image/png ", -1, -1, ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format);
        Options in;
        in.imageFormat = QString::fromUtf8(c.format);
        in.hotkey = c.hotkey;
        const auto [result, out] = RunOptions(in, [&](COptionsDlg* d) {
            EXPECT_EQ(Control<QComboBox>(d, "id1011")->currentIndex(), c.formatIndex);
            auto* keys = Control<QComboBox>(d, "id1012");
            EXPECT_EQ(keys->currentIndex() < 0 ? QString() : keys->currentText(),
                      QString::fromUtf8(c.keyShown));
            Ok(d);
        });
        EXPECT_EQ(result, IDOK);
        EXPECT_EQ(out.imageFormat, c.formatIndex < 0 ? QString() : in.imageFormat);
        EXPECT_EQ(out.hotkey, *c.keyShown ? c.hotkey : 0);
    }
}

TEST(OptionsDialog, EditedControlsAreReadBackOnOk)
{
    const auto [result, out] = RunOptions(Options{}, [](COptionsDlg* d) {
        Control<QAbstractButton>(d, "id1004")->click();
        Control<QAbstractButton>(d, "id1005")->click();
        Control<QAbstractButton>(d, "id1019")->click();
        Control<QAbstractButton>(d, "id1008")->click();
        Control<QAbstractButton>(d, "id1009")->click();
        Control<QLineEdit>(d, "id1002")->setText(QStringLiteral("  /tmp/Мои снимки/ "));
        auto* formats = Control<QComboBox>(d, "id1011");
        formats->setCurrentIndex(formats->findText(QStringLiteral("image/gif")));
        auto* keys = Control<QComboBox>(d, "id1012");
        keys->setCurrentIndex(keys->findText(QStringLiteral("F12")));
        Control<QAbstractButton>(d, "id1014")->click(); // Alt
        Control<QAbstractButton>(d, "id1015")->click(); // Shift
        EXPECT_FALSE(Checked(d, "id1006"));
        Ok(d);
    });
    EXPECT_EQ(result, IDOK);
    Options expected;
    expected.autorun = true;
    expected.sounds = false;
    expected.immediatelyOpen = true;
    expected.annotate = true;
    expected.destination = 2;
    expected.targetFolder = QStringLiteral("  /tmp/Мои снимки/ "); // not trimmed
    expected.imageFormat = QStringLiteral("image/gif");
    expected.hotkey = 123;
    expected.hotkeyMod = 5;
    EXPECT_EQ(out, expected);
}

TEST(OptionsDialog, EachRadioButtonGivesItsDestination)
{
    const struct
    {
        int before;
        const char* id;
        int after;
    } cases[] = {
        {0, "id1007", 1}, {0, "id1009", 2}, {2, "id1006", 0}, {7, "id1007", 1}, {-1, "id1006", 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        Options in;
        in.destination = c.before;
        const auto [result, out] = RunOptions(in, [&](COptionsDlg* d) {
            Control<QAbstractButton>(d, c.id)->click();
            int checked = 0;
            for (const char* id : {"id1006", "id1007", "id1009"})
                checked += Checked(d, id);
            EXPECT_EQ(checked, 1); // one group: the others are unchecked
            Ok(d);
        });
        EXPECT_EQ(result, IDOK);
        EXPECT_EQ(out.destination, c.after);
    }
}

TEST(OptionsDialog, CancelEscapeAndCloseReadNoControl)
{
    Options in;
    in.destination = 1;
    in.hotkeyMod = 8;
    in.imageFormat = QStringLiteral("image/webp");
    for (CancelBy how : kCancelWays) {
        SCOPED_TRACE(int(how));
        const auto [result, out] = RunOptions(in, [how](COptionsDlg* d) {
            for (const char* id : {"id1004", "id1005", "id1019", "id1008", "id1009", "id1013"})
                Control<QAbstractButton>(d, id)->click();
            Control<QLineEdit>(d, "id1002")->setText(QStringLiteral("/elsewhere"));
            Control<QComboBox>(d, "id1011")->setCurrentIndex(2);
            Control<QComboBox>(d, "id1012")->setCurrentIndex(0);
            Cancel(d, how);
        });
        EXPECT_EQ(result, IDCANCEL);
        EXPECT_EQ(out, in);
    }
}

TEST(OptionsDialog, BrowsedFolderFillsTheBoxAndOnlyOkKeepsIt)
{
    const QString chosen = QStringLiteral("/srv/общие снимки");
    QWidget* owner = nullptr;
    QString current;
    auto browse = [&](QWidget* o, const QString& c) {
        owner = o;
        current = c;
        return chosen;
    };
    // Chosen, then cancelled: nothing changes.
    auto [result, out] = RunOptions(
        Options{},
        [&](COptionsDlg* d) {
            Control<QAbstractButton>(d, "id1010")->click();
            EXPECT_EQ(owner, d);
            EXPECT_EQ(current, "/home/u/Картинки");
            EXPECT_EQ(Control<QLineEdit>(d, "id1002")->text(), chosen);
            Cancel(d, CancelBy::Button);
        },
        browse);
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_EQ(out.targetFolder, "/home/u/Картинки");

    // Chosen, then confirmed.
    std::tie(result, out) = RunOptions(
        Options{},
        [&](COptionsDlg* d) {
            Control<QAbstractButton>(d, "id1010")->click();
            Ok(d);
        },
        browse);
    EXPECT_EQ(result, IDOK);
    EXPECT_EQ(out.targetFolder, chosen);

    // The browser cancelled: the typed text stays.
    std::tie(result, out) = RunOptions(
        Options{},
        [&](COptionsDlg* d) {
            Control<QLineEdit>(d, "id1002")->setText(QStringLiteral("/typed"));
            Control<QAbstractButton>(d, "id1010")->click();
            EXPECT_EQ(Control<QLineEdit>(d, "id1002")->text(), "/typed");
            Ok(d);
        },
        [](QWidget*, const QString&) { return QString(); });
    EXPECT_EQ(out.targetFolder, "/typed");
}

TEST(OptionsDialog, TheTrayCommandSavesOnlyWhatOkConfirms)
{
    test::TempHome home;
    const QString autostart = platform::AutostartFilePath();
    Settings = SettingsRecord{};
    LoadSettings();
    TarvoTrayDlg window;
    auto runOptions = [&](std::function<void(COptionsDlg*)> act) {
        test::OnNextModal<COptionsDlg>(std::move(act));
        window.OnSysCommand(CmdOptions, 0);
        Settings = SettingsRecord{};
        LoadSettings(); // what reached the store
    };

    runOptions([](COptionsDlg* d) {
        Control<QAbstractButton>(d, "id1004")->click();
        Control<QAbstractButton>(d, "id1013")->click();
        auto* keys = Control<QComboBox>(d, "id1012");
        keys->setCurrentIndex(keys->findText(QStringLiteral("F12")));
        Ok(d);
    });
    EXPECT_TRUE(Settings.autorun);
    EXPECT_TRUE(QFile::exists(autostart));
    EXPECT_EQ(HotkeyText(), "Ctrl+F12");

    runOptions([](COptionsDlg* d) {
        Control<QAbstractButton>(d, "id1004")->click();
        Cancel(d, CancelBy::Escape);
    });
    EXPECT_TRUE(Settings.autorun);
    EXPECT_TRUE(QFile::exists(autostart));

    runOptions([](COptionsDlg* d) {
        EXPECT_TRUE(Checked(d, "id1004"));
        Control<QAbstractButton>(d, "id1004")->click();
        Ok(d);
    });
    EXPECT_FALSE(Settings.autorun);
    EXPECT_FALSE(QFile::exists(autostart));
    EXPECT_EQ(HotkeyText(), "Ctrl+F12");
    Settings = SettingsRecord{};
}

// ---------------------------------------------------------------------------------------------
// Annotation dialog

TEST(TitleDialog, OkTakesAtMost63CodeUnits)
{
    const QString emoji = QString::fromUtf8("\xF0\x9F\x98\x80"); // one character, two units
    const QString cyr70 = QString(70, QChar(0x0416));            // Ж
    const struct
    {
        QString typed;
        QString expected;
    } cases[] = {
        {QString(), QString()},
        {QStringLiteral("Скриншот окна"), QStringLiteral("Скриншот окна")},
        {QString(63, u'a'), QString(63, u'a')},
        {QString(64, u'a'), QString(63, u'a')},
        {QString(100, u'x'), QString(63, u'x')},
        {cyr70, cyr70.left(63)},
        // The pair would be split at the cut: the whole character goes.
        {QString(62, u'a') + emoji + QStringLiteral("b"), QString(62, u'a')},
        {QString(61, u'a') + emoji + QStringLiteral("b"), QString(61, u'a') + emoji},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.typed.toStdString());
        CTitleDlg dlg;
        dlg.title = QStringLiteral("из запроса");
        test::OnNextModal<CTitleDlg>([&](CTitleDlg* d) {
            auto* edit = Control<QLineEdit>(d, "id1002");
            EXPECT_EQ(edit->text(), "из запроса");
            edit->setText(c.typed);
            EXPECT_EQ(edit->text(), c.typed); // the box itself sets no limit
            Ok(d);
        });
        EXPECT_EQ(dlg.DoModal(), IDOK);
        EXPECT_EQ(dlg.title, c.expected);
        EXPECT_EQ(CutTitle(c.typed), c.expected);
    }
}

TEST(TitleDialog, CancelKeepsTheTitle)
{
    for (CancelBy how : kCancelWays) {
        SCOPED_TRACE(int(how));
        CTitleDlg dlg;
        dlg.title = QStringLiteral("прежний");
        test::OnNextModal<CTitleDlg>([how](CTitleDlg* d) {
            EXPECT_EQ(d->windowTitle(), "Annotate Screenshot");
            EXPECT_EQ(d->findChild<QLabel*>()->text(), "Заголовок:");
            EXPECT_EQ(Control<QAbstractButton>(d, "id1")->text(), "OK");
            EXPECT_EQ(Control<QAbstractButton>(d, "id2")->text(), "Отмена");
            ExpectNothingClipped(d);
            Control<QLineEdit>(d, "id1002")->setText(QStringLiteral("новый"));
            Cancel(d, how);
        });
        EXPECT_EQ(dlg.DoModal(), IDCANCEL);
        EXPECT_EQ(dlg.title, "прежний");
    }
}

// ---------------------------------------------------------------------------------------------
// Hyperlink

// A window holding a button and a link, active, so focus can move between them.
struct LinkHost
{
    explicit LinkHost(unsigned style, bool opens = true)
    {
        auto* row = new QHBoxLayout(&window);
        row->addWidget(button);
        row->addWidget(link);
        link->SetStyle(style);
        link->SetOpener([this, opens](const QString& url) {
            opened << url;
            return opens;
        });
        link->Attach();
        link->SetURL(QStringLiteral("http://example.org"));
        window.resize(400, 60);
        window.show();
        window.activateWindow();
        EXPECT_TRUE(test::ProcessEventsUntil([&] { return window.isActiveWindow(); }));
        button->setFocus();
    }
    void Enter()
    {
        QEnterEvent e(QPointF(2, 2), QPointF(2, 2), link->mapToGlobal(QPointF(2, 2)));
        QApplication::sendEvent(link, &e);
    }
    void Leave()
    {
        QEvent e(QEvent::Leave);
        QApplication::sendEvent(link, &e);
    }

    QWidget window;
    QPushButton* button = new QPushButton(QStringLiteral("OK"));
    CHyperLink* link = new CHyperLink(QStringLiteral("example.org"));
    QStringList opened;
};

constexpr unsigned kDefault = CHyperLink::kDefaultStyle;

TEST(HyperLink, ColourFollowsHoverFocusAndVisits)
{
    ASSERT_EQ(kDefault, 21u);
    const QColor red(255, 0, 0), blue(0, 0, 255), purple(128, 0, 128), teal(0, 128, 128);
    const struct
    {
        const char* what;
        unsigned style;
        bool opens;
        QColor hover, pressed, released, afterFocusMoves;
    } cases[] = {
        {"default style, launch works", kDefault, true, blue, teal, teal, purple},
        {"default style, no browser", kDefault, false, blue, teal, teal, blue},
        {"hover colour", kDefault | 2, true, red, red, red, purple},
        {"no active colour", kDefault | 64, true, blue, blue, purple, purple},
        {"no active colour, no browser", kDefault | 64, false, blue, blue, blue, blue},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        LinkHost h(c.style, c.opens);
        EXPECT_EQ(h.link->TextColor(), blue);
        h.Enter();
        EXPECT_EQ(h.link->TextColor(), c.hover);
        Mouse(h.link, QEvent::MouseButtonPress, QPoint(2, 2));
        EXPECT_EQ(h.link->TextColor(), c.pressed);
        EXPECT_TRUE(h.link->hasFocus());
        Mouse(h.link, QEvent::MouseButtonRelease, QPoint(2, 2));
        EXPECT_EQ(h.link->TextColor(), c.released);
        EXPECT_EQ(h.link->isVisited(), c.opens);
        h.button->setFocus();
        EXPECT_FALSE(h.link->isOver()); // losing the focus forgets the hover too
        EXPECT_EQ(h.link->TextColor(), c.afterFocusMoves);
        EXPECT_EQ(h.opened, QStringList{"http://example.org"});
    }
}

TEST(HyperLink, HoverColourComesAndGoesOnlyWithStyle2)
{
    LinkHost plain(kDefault), hover(kDefault | 2);
    for (LinkHost* h : {&plain, &hover}) {
        h->Enter();
        EXPECT_TRUE(h->link->isOver());
    }
    EXPECT_EQ(plain.link->TextColor(), CHyperLink::kLinkColor);
    EXPECT_EQ(hover.link->TextColor(), CHyperLink::kHoverColor);
    hover.Leave();
    EXPECT_EQ(hover.link->TextColor(), CHyperLink::kLinkColor);
}

TEST(HyperLink, OpensOnReleaseOrOnPressWithStyle8)
{
    {
        LinkHost h(kDefault);
        Mouse(h.link, QEvent::MouseButtonPress, QPoint(2, 2));
        EXPECT_TRUE(h.opened.isEmpty());
        Mouse(h.link, QEvent::MouseButtonRelease, QPoint(2, 2));
        EXPECT_EQ(h.opened.size(), 1);
    }
    {
        LinkHost h(kDefault | 8);
        Mouse(h.link, QEvent::MouseButtonPress, QPoint(2, 2));
        EXPECT_EQ(h.opened.size(), 1);
        Mouse(h.link, QEvent::MouseButtonRelease, QPoint(2, 2));
        EXPECT_EQ(h.opened.size(), 1);
    }
    {
        // Pressed, then dragged off before release: no click.
        LinkHost h(kDefault);
        Mouse(h.link, QEvent::MouseButtonPress, QPoint(2, 2));
        Mouse(h.link, QEvent::MouseButtonRelease, QPoint(h.link->width() + 50, 2));
        EXPECT_TRUE(h.opened.isEmpty());
    }
    {
        // Without style 16 a click does not take the focus, but still opens.
        LinkHost h(kDefault & ~16u);
        Click(h.link);
        EXPECT_FALSE(h.link->hasFocus());
        EXPECT_TRUE(h.button->hasFocus());
        EXPECT_EQ(h.opened.size(), 1);
    }
}

TEST(HyperLink, SpaceOnTheFocusedLinkOpensIt)
{
    LinkHost h(kDefault);
    h.link->setFocus();
    Key(h.link, Qt::Key_Return);
    Key(h.link, Qt::Key_A);
    EXPECT_TRUE(h.opened.isEmpty());
    Key(h.link, Qt::Key_Space);
    EXPECT_EQ(h.opened, QStringList{"http://example.org"});
    EXPECT_TRUE(h.link->isVisited());
}

TEST(HyperLink, AttachFillsTextOrAddressAndSetsTooltipCursorAndFont)
{
    {
        CHyperLink link(QStringLiteral("example.org"));
        link.Attach();
        EXPECT_EQ(link.GetURL(), "example.org");
        EXPECT_EQ(link.toolTip(), "example.org");
        EXPECT_EQ(link.cursor().shape(), Qt::PointingHandCursor);
        EXPECT_TRUE(link.font().underline());
        link.SetURL(QStringLiteral("http://example.org/путь"));
        EXPECT_EQ(link.text(), "example.org");
        EXPECT_EQ(link.toolTip(), "http://example.org/путь");
    }
    {
        CHyperLink link;
        link.SetURL(QStringLiteral("http://example.org"));
        link.SetStyle(kDefault & ~1u); // no underline
        link.Attach();
        EXPECT_EQ(link.text(), "http://example.org");
        EXPECT_FALSE(link.font().underline());
    }
    {
        CHyperLink link(QStringLiteral("<b>x</b>"));
        link.SetStyle(kDefault | 32);
        link.Attach();
        EXPECT_FALSE(link.testAttribute(Qt::WA_SetCursor));
        EXPECT_EQ(link.textFormat(), Qt::PlainText);
    }
}

TEST(HyperLink, FitsToItsTextWithStyle4)
{
    for (unsigned style : {kDefault, kDefault & ~4u}) {
        SCOPED_TRACE(style);
        LinkHost h(style);
        const int textWidth = h.link->fontMetrics().horizontalAdvance(h.link->text());
        if (style & 4) {
            EXPECT_LE(h.link->width(), textWidth + 4);
            EXPECT_GE(h.link->width(), textWidth);
        } else {
            EXPECT_GT(h.link->width(), textWidth + 100); // takes the rest of the row
        }
    }
    // Not in a layout: a right-aligned label keeps its right edge.
    QWidget parent;
    CHyperLink link(QStringLiteral("example.org"), &parent);
    link.setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    link.setGeometry(10, 10, 300, 40);
    link.Attach();
    EXPECT_EQ(link.geometry().right(), 309);
    EXPECT_LT(link.width(), 300);
}

TEST(HyperLink, IsPaintedInItsColour)
{
    LinkHost h(kDefault);
    auto count = [&](QColor c) {
        const QImage img = h.link->grab().toImage().convertToFormat(QImage::Format_RGB32);
        int n = 0;
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x)
                n += QColor(img.pixel(x, y)) == c;
        return n;
    };
    EXPECT_GT(count(CHyperLink::kLinkColor), 0);
    EXPECT_EQ(count(CHyperLink::kVisitedColor), 0);
    Click(h.link);
    h.button->setFocus();
    EXPECT_EQ(count(CHyperLink::kLinkColor), 0);
    EXPECT_GT(count(CHyperLink::kVisitedColor), 0);
}

// ---------------------------------------------------------------------------------------------
// About dialog

TEST(AboutDialog, ShowsNameVersionNoticeAndTheSiteLink)
{
    const struct
    {
        const char* serviceUrl;
        QString host;
    } cases[] = {
        {nullptr, ProductSiteUrl().mid(7)},
        {"http://127.0.0.1:5000/db/", QStringLiteral("127.0.0.1:5000")},
    };
    ASSERT_TRUE(ProductSiteUrl().startsWith("http://"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.host.toStdString());
        test::ScopedEnv env;
        if (c.serviceUrl)
            env.set("TARVO_SERVICE_URL", c.serviceUrl);
        else
            env.unset("TARVO_SERVICE_URL");
        QStringList opened;
        CAboutDlg dlg([&](const QString& url) {
            opened << url;
            return true;
        });
        test::OnNextModal<CAboutDlg>([&](CAboutDlg* d) {
            EXPECT_EQ(d->windowTitle(), "Про Tarvo");
            QStringList texts;
            for (const QLabel* l : d->findChildren<QLabel*>())
                if (!l->text().isEmpty()) texts << l->text();
            ASSERT_EQ(texts.size(), 4);
            EXPECT_EQ(texts[0], "Tarvo, Версия");
            EXPECT_EQ(texts[1], "1.6.131");
            EXPECT_FALSE(texts[2].isEmpty());
            EXPECT_EQ(texts[3], c.host);
            const auto* icon = d->findChild<QLabel*>("iconLabel");
            ASSERT_TRUE(icon);
            EXPECT_FALSE(icon->pixmap().isNull());

            auto* link = Control<CHyperLink>(d, "id135");
            ASSERT_TRUE(link);
            EXPECT_EQ(link->GetStyle(), 21u);
            EXPECT_EQ(link->GetURL(), "http://" + c.host);
            EXPECT_EQ(link->toolTip(), "http://" + c.host);
            EXPECT_EQ(link->cursor().shape(), Qt::PointingHandCursor);
            ExpectNothingClipped(d);

            // Focus follows only once the window is active, which a slow run may not be yet.
            d->activateWindow();
            test::ProcessEventsUntil([d] { return d->isActiveWindow(); }, 3000);
            Click(link);
            EXPECT_TRUE(link->hasFocus());
            EXPECT_EQ(link->TextColor(), CHyperLink::kActiveColor);
            Control<QWidget>(d, "id1")->setFocus();
            EXPECT_EQ(link->TextColor(), CHyperLink::kVisitedColor);
            Ok(d);
        });
        EXPECT_EQ(dlg.DoModal(), IDOK);
        EXPECT_EQ(opened, QStringList{"http://" + c.host});
    }
}

TEST(AboutDialog, FailedLaunchLeavesTheLinkUnvisitedAndSpaceRetries)
{
    int calls = 0;
    bool works = false;
    CAboutDlg dlg([&](const QString&) {
        ++calls;
        return works;
    });
    test::OnNextModal<CAboutDlg>([&](CAboutDlg* d) {
        CHyperLink* link = d->link();
        Click(link);
        EXPECT_EQ(calls, 1);
        EXPECT_FALSE(link->isVisited());
        works = true;
        Key(link, Qt::Key_Space);
        EXPECT_EQ(calls, 2);
        EXPECT_TRUE(link->isVisited());
        Key(link, Qt::Key_Escape);
    });
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
}

} // namespace
} // namespace tarvo
