#pragma once
// The about box: name, version, a notice and a link to the product web site.
#include <QDialog>
#include <QString>
#include <functional>
#include <memory>

namespace Ui {
class Dialog100;
}

namespace tarvo {

class CHyperLink;

class CAboutDlg : public QDialog
{
    Q_OBJECT
public:
    // `opener` starts the browser with an address and reports whether it could.
    explicit CAboutDlg(std::function<bool(const QString&)> opener, QWidget* parent = nullptr);
    ~CAboutDlg() override;

    int DoModal();

    CHyperLink* link() const;

private:
    void OnInitDialog();

    std::function<bool(const QString&)> opener_;
    std::unique_ptr<Ui::Dialog100> ui_;
};

} // namespace tarvo
