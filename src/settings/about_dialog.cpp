#include "settings/about_dialog.h"

#include "platform/resources.h"
#include "settings/dialogs.h"
#include "settings/hyperlink.h"
#include "settings/service.h"
#include "ui_dialog100.h"

namespace tarvo {

namespace {

// The site's address without its "http://" (or other) scheme: what the link shows.
QString SiteHost(const QString& site)
{
    const qsizetype sep = site.indexOf(QStringLiteral("://"));
    return sep < 0 ? site : site.mid(sep + 3);
}

} // namespace

CAboutDlg::CAboutDlg(std::function<bool(const QString&)> opener, QWidget* parent)
    : QDialog(parent), opener_(std::move(opener)), ui_(std::make_unique<Ui::Dialog100>())
{
    ui_->setupUi(this);
    connect(ui_->id1, &QPushButton::clicked, this, &CAboutDlg::accept);
    ui_->iconLabel->setPixmap(LoadIconResource(IDI_TARVO).pixmap(32, 32));
    ui_->versionLabel->setText(kProgramVersion.toString());
    ui_->id135->setText(SiteHost(ProductSiteUrl()));
}

CAboutDlg::~CAboutDlg() = default;

CHyperLink* CAboutDlg::link() const
{
    return ui_->id135;
}

int CAboutDlg::DoModal()
{
    OnInitDialog();
    return RunModal(*this);
}

void CAboutDlg::OnInitDialog()
{
    CHyperLink* link = ui_->id135;
    link->SetOpener(opener_);
    link->Attach();
    // The address follows the site's own scheme; for the usual site that is "http://" + host.
    const QString site = ProductSiteUrl();
    link->SetURL(site.contains(QStringLiteral("://")) ? site : QStringLiteral("http://") + site);
    resize(size().expandedTo(minimumSizeHint()));
}

} // namespace tarvo
