#pragma once
// A test's cases as one table: a struct per case, whose first member `name` names its row.
#include <QTest>
#include <initializer_list>

// In a _data() slot: one column "row" holding the whole case, and a QTest row per case, so a
// failure names its case and one case can be run alone. The test reads it: QFETCH(Row, row).
template <typename Row>
void addRows(std::initializer_list<Row> rows)
{
    QTest::addColumn<Row>("row");
    for (const Row &row : rows)
        QTest::newRow(row.name) << row;
}
