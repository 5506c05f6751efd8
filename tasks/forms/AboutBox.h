#pragma once
// The about box "关于": the program's icon, title, version, description and a
// link to the publisher's web site on a white-to-light-blue gradient.
#include <QDialog>
#include <QLabel>
#include <QPushButton>

class TAboutBox : public QDialog {
public:
    explicit TAboutBox(QWidget* owner);

    void FormCreate();      // sets Version from GetVersionText()
    void lblWebsiteClick(); // opens the web site as actWeb does

    QLabel* ProgramIcon;
    QLabel* ProductName;
    QLabel* Version;
    QLabel* Comments;
    QLabel* lblWebsite;
    QPushButton* OKButton;

    // The font family the title ended up with (a KaiTi face when one is installed).
    QString TitleFontFamily() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
};
