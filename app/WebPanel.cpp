#include "app/WebPanel.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QStringDecoder>

#include "platform/AnsiString.h"
#include "platform/Files.h"
#include "platform/InternetState.h"
#include "platform/ShellExecute.h"

namespace {

// The page's text: UTF-8 unless the server or the page names the Chinese
// code pages, which the program's own conversion reads.
QString DecodePage(const QByteArray& body, const QByteArray& contentType) {
    const QByteArray head = (contentType + " " + body.left(1024)).toLower();
    if (head.contains("gb2312") || head.contains("gbk") || head.contains("gb18030") || head.contains("cp936"))
        return QString::fromStdString(AnsiToUtf8Lenient(std::string(body.constData(), body.size())));
    return QString::fromUtf8(body);
}

} // namespace

TWebPanel::TWebPanel(QWidget* parent) : QTextBrowser(parent), network_(new QNetworkAccessManager(this)) {
    setOpenLinks(false);
    setReadOnly(true);
    setFrameShape(QFrame::NoFrame);
    // Links open in the desktop's browser, not inside the panel.
    connect(this, &QTextBrowser::anchorClicked, this, [](const QUrl& url) {
        if (url.scheme() == "http" || url.scheme() == "https")
            ShellOpen(url.toString().toStdString());
    });
}

TWebPanel::~TWebPanel() {
    if (reply_) {
        reply_->disconnect(this);
        reply_->abort();
    }
}

bool TWebPanel::ConnectedState() {
    return InternetGetConnectedState();
}

void TWebPanel::Navigate(const QString& address) {
    if (reply_) {
        reply_->disconnect(this);
        reply_->abort();
        reply_->deleteLater();
        reply_ = nullptr;
    }
    if (!address.startsWith("http://", Qt::CaseInsensitive) && !address.startsWith("https://", Qt::CaseInsensitive)) {
        ShowLocalFile(address);
        return;
    }
    QNetworkRequest request {QUrl(address)};
    request.setTransferTimeout(FetchTimeoutMs);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    reply_ = network_->get(request);
    connect(reply_, &QNetworkReply::finished, this, &TWebPanel::FetchFinished);
}

void TWebPanel::FetchFinished() {
    QNetworkReply* reply = reply_;
    reply_ = nullptr;
    reply->deleteLater();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (reply->error() != QNetworkReply::NoError || status < 200 || status >= 300) {
        ShowLocalFile(OfflinePage);
        return;
    }
    ShowPage(DecodePage(reply->readAll(), reply->header(QNetworkRequest::ContentTypeHeader).toByteArray()),
             reply->url().toString());
}

void TWebPanel::ShowLocalFile(const QString& name) {
    for (const QString& path : {name, QString::fromStdString(ExeFolder()) + name}) {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly)) {
            ShowPage(DecodePage(file.readAll(), {}), name);
            return;
        }
        if (name.startsWith('/'))
            break;
    }
    ShowPage({}, name); // no such page: an empty panel
}

void TWebPanel::ShowPage(const QString& html, const QString& location) {
    setHtml(html);
    location_ = location;
    emit DocumentComplete(location);
}
