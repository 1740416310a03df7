#include "app/widget.h"

#include "ui_widget.h"
#include "widgets/myprogressbar.h"

#include <QBrush>
#include <QFile>
#include <QLockFile>
#include <QMouseEvent>
#include <QNetworkReply>
#include <QPalette>
#include <QPixmap>

Widget::Widget(QWidget *parent)
    : QWidget(parent), ui(std::make_unique<Ui::Widget>()), reply(nullptr), totalFiles(0),
      dragging(false), dragOffset(0, 0), progressBar(nullptr), updateIncomplete(false),
      runStopped(false)
{
    ui->setupUi(this);
    setWindowTitle("CorvantileUpdate");

    setAutoFillBackground(true);
    QPalette palette;
    palette.setBrush(QPalette::All, QPalette::Window, QBrush(QPixmap("pic2/bg2.png")));
    setPalette(palette);

    progressBar = new MyProgressBar(this);
    progressBar->move(295, 240);
    progressBar->show();
    progressBar->setValue(0);

    ui->backgroundLabel->setPixmap(QPixmap("pic2/progressBarBackground.png"));

    lockInstallation();
    loadLocalManifest();
}

Widget::~Widget()
{
    // Closing the window mid-download tears the reply down with the network manager; none of
    // its signals may reach a half-destroyed window. The staging file stays on disk.
    if (reply)
        reply->disconnect(this);
}

void Widget::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton) {
        dragging = true;
        dragOffset = event->pos();
    }
}

void Widget::mouseReleaseEvent(QMouseEvent *)
{
    dragging = false;
}

void Widget::mouseMoveEvent(QMouseEvent *event)
{
    if (dragging)
        move(event->globalPos() - dragOffset);
}
