#include "widgets/myprogressbar.h"

#include <QLabel>
#include <QPixmap>
#include <QProgressBar>

#include <climits>

namespace {
constexpr int barWidth = 372;
// The sign's left edge travels 364 pixels over 0..100 %, so at 100 % it stops 12 pixels short
// of the indicator's right edge instead of running off it.
constexpr double signPixelsPerPercent = 3.64;
} // namespace

MyProgressBar::MyProgressBar(QWidget *parent) : QWidget(parent)
{
    bar = new QProgressBar(this);
    bar->setTextVisible(false);
    bar->show();

    resize(barWidth + 4, 12);
    bar->setGeometry(2, 3, barWidth, 6);

    signLabel = new QLabel(this);
    signLabel->setPixmap(QPixmap("pic2/progressSign.png"));
    signLabel->show();

    bar->setStyleSheet("QProgressBar{background-color: rgb(229,229,229);border-radius: 3px; "
                       "border:0px solid rgb(0,0,0);}QProgressBar::chunk:horizontal "
                       "{background-color: rgb(64,154,255);margin: 0px 0px 0px 0px;border-radius: "
                       "3px;}");
}

MyProgressBar::~MyProgressBar() = default;

void MyProgressBar::setValue(int value)
{
    const int oldValue = bar->value();
    // Only values 0..100 are meaningful, but a caller's out-of-range value must not overflow
    // the conversion back to int.
    const double x = qBound<double>(INT_MIN, value * signPixelsPerPercent, INT_MAX);
    signLabel->move(static_cast<int>(x), 0);
    bar->setValue(value);
    if (value != oldValue)
        emit valueChanged(value);
}
