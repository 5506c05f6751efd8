#pragma once
// The web panel's view: told to navigate to an address, it shows the page.
// A web address is fetched in the background (the window never waits for
// it); when it cannot be fetched, or for a plain file name, the page comes
// from a local file: the current folder first, then the program's folder.
#include <QString>
#include <QTextBrowser>
#include <memory>

class QNetworkAccessManager;
class QNetworkReply;

class TWebPanel : public QTextBrowser {
    Q_OBJECT
public:
    // The local page shown instead of a web page that cannot be fetched.
    static constexpr const char* OfflinePage = "noa.htm";
    // A fetch that has not finished by then counts as failed.
    static constexpr int FetchTimeoutMs = 15000;

    explicit TWebPanel(QWidget* parent = nullptr);
    ~TWebPanel() override;

    // "http://..." is fetched; anything else is a local file name.
    void Navigate(const QString& address);
    // The address of the page shown ("" while nothing is shown).
    const QString& LocationURL() const { return location_; }
    bool Busy() const { return reply_ != nullptr; }

    // Whether the machine has a network connection at all (an interface that
    // is up, not the loopback, with an address).
    static bool ConnectedState();

signals:
    void DocumentComplete(const QString& location);

private:
    void FetchFinished();
    void ShowLocalFile(const QString& name);
    void ShowPage(const QString& html, const QString& location);

    QNetworkAccessManager* network_;
    QNetworkReply* reply_ = nullptr;
    QString location_;
};
