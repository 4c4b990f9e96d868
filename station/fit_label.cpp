#include "fit_label.h"

#include <QFontMetrics>
#include <QResizeEvent>
#include <QStringList>
#include <QTextLayout>
#include <algorithm>
#include <cmath>

void FitLabel::setFullText(const QString &text)
{
    if (text == full_)
        return;
    full_ = text;
    setToolTip(text);
    fit();
}

void FitLabel::resizeEvent(QResizeEvent *event)
{
    QLabel::resizeEvent(event);
    fit();
}

// Each paragraph after the first keeps a line of its own when there are lines enough: the
// cause and the first words of the next step both show, however long the cause.
void FitLabel::fit()
{
    const QFontMetrics metrics(font());
    const int width = std::max(1, contentsRect().width());
    // A line as drawn: its spacing rounded up, so that the last line is never clipped.
    const int spacing = std::max(1, int(std::ceil(QFontMetricsF(font()).lineSpacing())));
    const int most = std::max(1, contentsRect().height() / spacing);
    QStringList lines;
    const QStringList paragraphs = full_.split('\n');
    for (qsizetype p = 0; p < paragraphs.size() && int(lines.size()) < most; ++p) {
        const int after = int(std::min<qsizetype>(paragraphs.size() - p - 1, most - 1 - qsizetype(lines.size())));
        const int room = most - int(lines.size()) - after; // the lines this paragraph may take
        QTextLayout layout(paragraphs[p], font());
        layout.beginLayout();
        int taken = 0;
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            line.setLineWidth(width);
            const bool moreHere = line.textStart() + line.textLength() < paragraphs[p].size();
            const bool more = moreHere || (after == 0 && p + 1 < paragraphs.size());
            if (taken + 1 == room && more) { // the last line it may take says there is more
                lines << endsInEllipsis(paragraphs[p].mid(line.textStart()), metrics, width);
                break;
            }
            lines << paragraphs[p].mid(line.textStart(), line.textLength()).trimmed();
            ++taken;
        }
        layout.endLayout();
    }
    setText(lines.join('\n'));
}

// `text` cut after its last whole word that fits `width` with an ellipsis; within a word
// only when its first word does not fit.
QString FitLabel::endsInEllipsis(const QString &text, const QFontMetrics &metrics, int width)
{
    const QString ellipsis = QStringLiteral(" \u2026");
    for (qsizetype end = text.size(); end > 0; end = text.lastIndexOf(' ', end - 1)) {
        const QString head = text.left(end).trimmed();
        if (!head.isEmpty() && metrics.horizontalAdvance(head + ellipsis) <= width)
            return head + ellipsis;
    }
    return metrics.elidedText(text + ellipsis, Qt::ElideRight, width);
}
