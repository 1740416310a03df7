#ifndef CORVANTILE_WIDGETS_MYPROGRESSBAR_H
#define CORVANTILE_WIDGETS_MYPROGRESSBAR_H

#include <QWidget>

class QLabel;
class QProgressBar;

// A thin rounded progress bar without text, with a small sign that rides along it and marks
// the current percentage.
class MyProgressBar : public QWidget
{
    Q_OBJECT

public:
    explicit MyProgressBar(QWidget *parent = nullptr);
    ~MyProgressBar() override;

    void setValue(int value);

signals:
    void valueChanged(int);

private:
    QProgressBar *bar;
    QLabel *signLabel;
};

#endif // CORVANTILE_WIDGETS_MYPROGRESSBAR_H
