#include "app/about_dialog.h"

#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/icons/icons.h"

namespace orvaldi::app {

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
  InitIcons();
  setWindowTitle("关于 Orvaldi");
  auto* icon = new QLabel(this);
  icon->setPixmap(QIcon(":/icons/orvaldi.svg").pixmap(64, 64));
  auto* text = new QLabel(QString("<b>Orvaldi %1</b><br>数据恢复工作站<br><br>"
                                  "列出磁盘与分区，查找丢失的分区，<br>"
                                  "恢复 FAT16、FAT32 与 NTFS 上已删除的文件，<br>"
                                  "并按文件签名从整个磁盘中找回文件。<br><br>"
                                  "只读取源磁盘，从不写入。")
                              .arg(ORVALDI_VERSION),
                          this);
  auto* ok = new QPushButton("确定", this);
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);

  auto* top = new QHBoxLayout;
  top->addWidget(icon, 0, Qt::AlignTop);
  top->addSpacing(12);
  top->addWidget(text, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(ok);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addLayout(buttons);
}

}  // namespace orvaldi::app
