// The about box.
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
                                  "列出磁盘与分区，查找丢失的分区；<br>"
                                  "找回 FAT16、FAT32 与 NTFS 分区上已删除的、<br>"
                                  "或格式化后丢失的文件和文件夹；<br>"
                                  "按文件内容扫描整个磁盘找回文件；<br>"
                                  "制作磁盘映像，备份与恢复分区表。")
                              .arg(ORVALDI_VERSION),
                          this);
  text->setObjectName("aboutText");
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
