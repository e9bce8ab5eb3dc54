// The About box: a few lines about the program and three links to its documents.
#pragma once

#include <QDialog>
#include <QUrl>

class QFrame;
class QLabel;
class QPushButton;

namespace quillet {

class TAboutBox : public QDialog {
  Q_OBJECT

 public:
  explicit TAboutBox(QWidget* parent = nullptr);

  QFrame* Panel1 = nullptr;
  QLabel* Label1 = nullptr;
  QLabel* Label2 = nullptr;
  QLabel* Label3 = nullptr;
  QLabel* Label5 = nullptr;  // link: the gateway's command set
  QLabel* Label6 = nullptr;
  QLabel* Label7 = nullptr;  // link: the program's page
  QLabel* Label8 = nullptr;
  QLabel* Label9 = nullptr;
  QLabel* Label10 = nullptr;
  QLabel* Label11 = nullptr;  // link: help
  QLabel* Label12 = nullptr;  // the year notice
  QPushButton* OKButton = nullptr;

  // What the three links open.
  QUrl Label5Url;
  QUrl Label7Url;
  QUrl Label11Url;

 public slots:
  void OKButtonClick();
  void Label5Click();
  void Label7Click();
  void Label11Click();

 public:
  void setVisible(bool visible) override;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  bool placed_ = false;
};

extern TAboutBox* AboutBox;

}  // namespace quillet
