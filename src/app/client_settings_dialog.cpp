#include "app/client_settings_dialog.h"

#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QFileDialog>
#include <QFontDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace orvaldi::app {

ClientSettingsDialog::ClientSettingsDialog(const BackgroundSettings& initial, QWidget* parent)
    : QDialog(parent), settings_(initial) {
  setWindowTitle("MDI Client Settings");
  fontButton_ = new QPushButton(settings_.logoFont.family(), this);
  logoColourButton_ = new QPushButton(this);
  backColourButton_ = new QPushButton(this);
  showColour(logoColourButton_, settings_.logoColor);
  showColour(backColourButton_, settings_.backColor);
  usePicture_ = new QCheckBox("使用背景图片", this);
  usePicture_->setChecked(settings_.usePicture);
  fileName_ = new QLineEdit(settings_.fileName, this);
  auto* browse = new QPushButton("浏览...", this);
  fit_ = new QComboBox(this);
  fit_->addItems({"平铺", "居中", "拉伸"});
  fit_->setCurrentIndex(static_cast<int>(settings_.fit));

  connect(fontButton_, &QPushButton::clicked, this, [this] {
    bool ok = false;
    const QFont font = QFontDialog::getFont(&ok, settings_.logoFont, this);
    if (!ok) return;
    settings_.logoFont = font;
    fontButton_->setText(font.family());
  });
  connect(logoColourButton_, &QPushButton::clicked, this, [this] {
    const QColor colour = QColorDialog::getColor(settings_.logoColor, this);
    if (!colour.isValid()) return;
    settings_.logoColor = colour;
    showColour(logoColourButton_, colour);
  });
  connect(backColourButton_, &QPushButton::clicked, this, [this] {
    const QColor colour = QColorDialog::getColor(settings_.backColor, this);
    if (!colour.isValid()) return;
    settings_.backColor = colour;
    showColour(backColourButton_, colour);
  });
  connect(browse, &QPushButton::clicked, this, [this] {
    const QString file =
        QFileDialog::getOpenFileName(this, "背景图片", fileName_->text(), "图片 (*.bmp *.png *.jpg *.jpeg *.gif)");
    if (!file.isEmpty()) fileName_->setText(file);
  });

  auto* pictureRow = new QHBoxLayout;
  pictureRow->addWidget(fileName_, 1);
  pictureRow->addWidget(browse);
  auto* form = new QFormLayout;
  form->addRow("标志字体：", fontButton_);
  form->addRow("标志颜色：", logoColourButton_);
  form->addRow("背景颜色：", backColourButton_);
  form->addRow(usePicture_);
  form->addRow("图片文件：", pictureRow);
  form->addRow("显示方式：", fit_);

  auto* ok = new QPushButton("确定", this);
  ok->setDefault(true);
  auto* cancel = new QPushButton("取消", this);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(ok);
  buttons->addWidget(cancel);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addLayout(buttons);
}

BackgroundSettings ClientSettingsDialog::settings() const {
  BackgroundSettings result = settings_;
  result.usePicture = usePicture_->isChecked();
  result.fileName = fileName_->text();
  result.fit = static_cast<PictureFit>(fit_->currentIndex());
  return result;
}

void ClientSettingsDialog::showColour(QPushButton* button, const QColor& colour) {
  button->setText(colour.name());
  button->setStyleSheet(
      QString("background-color: %1; color: %2;").arg(colour.name(), colour.lightness() < 128 ? "white" : "black"));
}

}  // namespace orvaldi::app
