#include "app/browser.h"
#include "platform/browser_entry.h"
#include "platform/desktop_entry.h"
#include "platform/process.h"
#include "support/temp_env.h"

#include <QFile>
#include <QThread>
#include <gtest/gtest.h>

namespace tarvo {
namespace {

TEST(BrowserCommand, TemplateIsSplitBeforeTheTextGoesIn)
{
    const QString hostile = "http://x/a b\"c'd$(touch /tmp/pwned);`id` %1";
    struct Case
    {
        const char16_t* tmpl;
        QString text;
        QStringList expected;
    };
    const Case cases[] = {
        {u"\"/opt/Web Browser/browser\" -- \"%1\"",
         "http://h/a b",
         {"/opt/Web Browser/browser", "--", "http://h/a b"}},
        {u"/usr/bin/browser",
         "/home/u/My Shots/s.png",
         {"/usr/bin/browser", "/home/u/My Shots/s.png"}},
        {u"browser --new %1 --also=%1", "u", {"browser", "--new", "u", "--also=u"}},
        {u"browser \"%1\"", hostile, {"browser", hostile}},
        {u"  browser   --flag  ", "t", {"browser", "--flag", "t"}},
        {u"\"a\\\"b\" \"c\\\\d\" e\\f", "t", {"a\"b", "c\\d", "e\\f", "t"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(QString::fromUtf16(c.tmpl).toStdString());
        EXPECT_EQ(BrowserCommand(c.tmpl, c.text), c.expected);
    }
}

TEST(BrowserCommand, DesktopExecFieldCodes)
{
    EXPECT_EQ(platform::ExecToCommandTemplate(u"firefox-esr %u"), "firefox-esr %1");
    EXPECT_EQ(platform::ExecToCommandTemplate(u"chromium %U --flag"), "chromium %1 --flag");
    EXPECT_EQ(platform::ExecToCommandTemplate(u"br %i %c %k --p=100%%"), "br    --p=100%%");
    EXPECT_EQ(platform::ExecToCommandTemplate(u"viewer %f"), "viewer %1");
}

TEST(BrowserCommand, EscapedPercentSignsAreNeverThePlaceholder)
{
    struct Case
    {
        const char16_t* exec;
        QStringList expected;
    };
    const Case cases[] = {
        {u"br --x=%%1 %u", {"br", "--x=%1", "L%1"}},
        {u"br %%%u", {"br", "%L%1"}},
        {u"br 100%% %%%%1", {"br", "100%", "%%1", "L%1"}},
        {u"br %%u", {"br", "%u", "L%1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(QString::fromUtf16(c.exec).toStdString());
        // The link itself holds "%1": it is put in once and never read again.
        EXPECT_EQ(BrowserCommand(platform::ExecToCommandTemplate(c.exec), "L%1"), c.expected);
    }
}

class DefaultBrowser : public ::testing::Test
{
protected:
    void SetUp() override
    {
        data = home.path() + "/data";
        home.env().set("XDG_DATA_HOME", QFile::encodeName(data));
        home.env().set("XDG_DATA_DIRS", QFile::encodeName(home.path() + "/none"));
        home.env().set("XDG_CONFIG_DIRS", QFile::encodeName(home.path() + "/none"));
        home.env().unset("XDG_CURRENT_DESKTOP");
    }
    void install(const QString& script)
    {
        const QString bin = home.path() + "/fake browser.sh";
        test::TempHome::write(bin, script.toUtf8());
        QFile::setPermissions(bin, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        test::TempHome::write(data + "/applications/fake.desktop",
                              "[Desktop Entry]\nType=Application\nName=Fake\nExec=\"" +
                                  bin.toUtf8() + "\" --new-window %u\n");
        test::TempHome::write(
            home.config() + "/mimeapps.list",
            "[Default Applications]\nx-scheme-handler/http=missing.desktop;fake.desktop;\n");
    }
    test::TempHome home;
    QString data;
};

TEST_F(DefaultBrowser, TemplateComesFromTheHandlersDesktopEntry)
{
    EXPECT_FALSE(platform::DefaultBrowserCommandTemplate().has_value());
    install("#!/bin/sh\n");
    EXPECT_EQ(platform::DefaultBrowserCommandTemplate().value_or("<none>"),
              "\"" + home.path() + "/fake browser.sh\" --new-window %1");
}

TEST_F(DefaultBrowser, OpensTheTextAsOneArgumentWithoutAShell)
{
    const QString out = home.path() + "/args.txt";
    const QString marker = home.path() + "/pwned";
    install("#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" + out + "'\n");
    const QString text = "http://h/a b;touch " + marker + " $(touch " + marker + ")";
    ASSERT_TRUE(OpenInBrowser(text));
    for (int i = 0; i < 200 && !QFile::exists(out); ++i)
        QThread::msleep(10);
    QThread::msleep(50);
    EXPECT_EQ(QString::fromUtf8(test::TempHome::read(out)), "--new-window\n" + text + "\n");
    EXPECT_FALSE(QFile::exists(marker));
}

TEST_F(DefaultBrowser, ABrowserThatCannotStartIsReportedAsNotOpened)
{
    test::TempHome::write(data + "/applications/gone.desktop",
                          "[Desktop Entry]\nExec=/nonexistent/browser %u\n");
    test::TempHome::write(home.config() + "/mimeapps.list",
                          "[Default Applications]\nx-scheme-handler/http=gone.desktop\n");
    EXPECT_FALSE(OpenInBrowser("http://x/"));
}

} // namespace
} // namespace tarvo
