#include "Unit1/FilterBar.h"

#include "Unit1/RecordModel.h"
#include "settings/CodePage.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>

#include <utility>

std::string SearchBytes(const QString& typed, int codePage)
{
    const QByteArray utf8 = typed.toUtf8();
    const std::string_view view(utf8.constData(), static_cast<std::size_t>(utf8.size()));
    if (std::optional<std::string> bytes = qelt::EncodeFromUtf8(view, codePage))
        return std::move(*bytes);
    return std::string(view);
}

namespace {

// A bound of the range, or nothing when the field is empty. A text that names no time leaves the
// bound open and shows in red until it is mended.
std::optional<qelt::LogTime> Bound(QLineEdit* edit, qelt::TimeBound which, const QPalette& normal)
{
    const QByteArray text = edit->text().toUtf8();
    std::optional<qelt::LogTime> time;
    bool bad = false;
    if (!text.trimmed().isEmpty()) {
        time = qelt::ParseTimeBound(std::string_view(text.constData(), std::size_t(text.size())),
                                    which);
        bad = !time;
    }
    QPalette palette = normal;
    if (bad)
        palette.setColor(QPalette::Text, Qt::red);
    edit->setPalette(palette);
    return time;
}

} // namespace

FilterBar::FilterBar(RecordModel* model, int codePage, QWidget* parent)
    : QWidget(parent), m_model(model), m_codePage(codePage)
{
    setObjectName(QStringLiteral("FilterBar"));
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(2, 2, 2, 2);
    layout->setSpacing(4);

    m_url = new QLineEdit(this);
    m_url->setObjectName(QStringLiteral("FilterUrl"));
    m_url->setPlaceholderText(tr("URL contains"));
    m_url->setClearButtonEnabled(true);
    m_url->setToolTip(tr("Show only the rows whose URL contains this text (case ignored)"));
    layout->addWidget(m_url, 3);

    const QString timeHelp =
        tr("A date and time as the log writes it (07/Dec/2026:03:44:43) or as 2026-12-07 03:44:43;"
           " the time or its seconds may be left out");
    m_from = new QLineEdit(this);
    m_from->setObjectName(QStringLiteral("FilterFrom"));
    m_from->setPlaceholderText(tr("from"));
    m_from->setClearButtonEnabled(true);
    m_from->setToolTip(timeHelp);
    layout->addWidget(m_from, 2);
    m_to = new QLineEdit(this);
    m_to->setObjectName(QStringLiteral("FilterTo"));
    m_to->setPlaceholderText(tr("to"));
    m_to->setClearButtonEnabled(true);
    m_to->setToolTip(timeHelp);
    layout->addWidget(m_to, 2);

    m_count = new QLabel(this);
    m_count->setObjectName(QStringLiteral("FilterCount"));
    layout->addWidget(m_count);

    for (QLineEdit* edit : {m_url, m_from, m_to})
        connect(edit, &QLineEdit::textChanged, this, &FilterBar::apply);
    connect(m_model, &RecordModel::shownRowsChanged, this, &FilterBar::showCount);
    showCount();
}

void FilterBar::setFindText(std::string bytes)
{
    m_find = std::move(bytes);
    apply();
}

void FilterBar::apply()
{
    const QPalette normal = palette();
    RecordFilter filter;
    filter.url = SearchBytes(m_url->text(), m_codePage);
    filter.find = m_find;
    filter.from = Bound(m_from, qelt::TimeBound::Lower, normal);
    filter.to = Bound(m_to, qelt::TimeBound::Upper, normal);
    m_model->setFilter(std::move(filter));
}

QString FilterBar::countText() const
{
    return m_count->text();
}

void FilterBar::showCount()
{
    m_count->setText(tr("%1 of %2 rows").arg(m_model->rowCount()).arg(m_model->totalRows()));
}

void FilterBar::sortByHeader(QHeaderView* header)
{
    header->setSectionsClickable(true);
    header->setSortIndicatorShown(false);
    connect(header, &QHeaderView::sectionClicked, this, [this, header](int column) {
        m_model->cycleSort(column);
        header->setSortIndicatorShown(m_model->sortColumn() >= 0);
        header->setSortIndicator(m_model->sortColumn(), m_model->sortOrder());
    });
}
