#pragma once

#include <QLabel>
#include <QString>

class QFontMetrics;

// A text that fits its label: cut after the last whole line that fits, with an ellipsis,
// instead of clipped in the middle of a line. The whole text stays in its tooltip.
class FitLabel : public QLabel {
public:
    using QLabel::QLabel;
    void setFullText(const QString &text);
    QSize minimumSizeHint() const override { return {0, 0}; }

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void fit();
    static QString endsInEllipsis(const QString &text, const QFontMetrics &metrics, int width);
    QString full_;
};
