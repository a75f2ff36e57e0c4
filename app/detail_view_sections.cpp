// The item page's lower sections: uncertain words, people, dates and notes.
// Each change goes straight to the catalog; the page's lists are read again
// and the library is asked to reload after 0.4 s.
#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/app_model.h"
#include "app/components.h"
#include "app/detail_view.h"
#include "app/detail_view_style.h"
#include "app/panel_style.h"
#include "core/date_extractor.h"

namespace quorvel::app {

QPlainTextEdit* makeBoxedEditor(QWidget* parent, QWidget** box, int minimumHeight);

namespace {

QWidget* sectionBox(QWidget* parent, const QString& label, QVBoxLayout** layout) {
  auto* section = new QWidget(parent);
  *layout = new QVBoxLayout(section);
  (*layout)->setContentsMargins(0, 0, 0, 0);
  (*layout)->setSpacing(6);
  (*layout)->addWidget(new SectionLabel(label, section));
  return section;
}

QToolButton* smallButton(QWidget* parent, const char* icon, const QString& fallback, const QString& help) {
  auto* button = new QToolButton(parent);
  button->setAutoRaise(true);
  button->setToolTip(help);
  button->setIconSize(QSize(14, 14));
  detail_style::icon(button, icon, fallback);
  return button;
}

QColor secondaryTint() {
  QColor color = QApplication::palette().color(QPalette::WindowText);
  color.setAlphaF(0.15f * 0.6f);
  return color;
}

}  // namespace

QWidget* DetailView::buildUncertainSection() {
  QVBoxLayout* layout = nullptr;
  uncertainSection_ = sectionBox(this, "Needs a look", &layout);
  uncertainSection_->setObjectName("uncertainSection");
  auto* flowBox = new QWidget(uncertainSection_);
  uncertainFlow_ = new FlowLayout(6, flowBox);
  layout->addWidget(flowBox);
  uncertainSection_->hide();
  return uncertainSection_;
}

QWidget* DetailView::buildPeopleSection() {
  QVBoxLayout* layout = nullptr;
  QWidget* section = sectionBox(this, "People", &layout);
  section->setObjectName("peopleSection");
  auto* flowBox = new QWidget(section);
  peopleFlow_ = new FlowLayout(6, flowBox);
  layout->addWidget(flowBox);
  personField_ = new QLineEdit(section);
  personField_->setObjectName("addPersonField");
  personField_->setAccessibleName("Add a person");
  personField_->setPlaceholderText("Add a person, then press Return");
  layout->addWidget(personField_);
  connect(personField_, &QLineEdit::returnPressed, this, [this] { addPerson(); });
  return section;
}

QWidget* DetailView::buildDatesSection() {
  QVBoxLayout* layout = nullptr;
  QWidget* section = sectionBox(this, "Dates", &layout);
  section->setObjectName("datesSection");
  auto* rows = new QWidget(section);
  dateRows_ = new QVBoxLayout(rows);
  dateRows_->setContentsMargins(0, 0, 0, 0);
  dateRows_->setSpacing(2);
  layout->addWidget(rows);
  dateField_ = new QLineEdit(section);
  dateField_->setObjectName("addDateField");
  dateField_->setAccessibleName("Add a date");
  dateField_->setPlaceholderText("Add a date, like March 4, 1923 or 1923");
  layout->addWidget(dateField_);
  connect(dateField_, &QLineEdit::returnPressed, this, [this] { addDate(); });
  return section;
}

QWidget* DetailView::buildNotesSection() {
  QVBoxLayout* layout = nullptr;
  QWidget* section = sectionBox(this, "Notes", &layout);
  section->setObjectName("notesSection");
  QWidget* box = nullptr;
  notesEditor_ = makeBoxedEditor(section, &box, 70);
  notesEditor_->setObjectName("notesEditor");
  box->setMinimumHeight(90);
  layout->addWidget(box);
  connect(notesEditor_, &QPlainTextEdit::textChanged, this, [this] {
    if (settingText_) return;
    notes_ = notesEditor_->toPlainText().toStdString();
    scheduleSave();
  });
  return section;
}

// ---- Showing the lists ----
// Chips and rows are made again only when their list changed. Their buttons
// act through queued calls, so a button's own click has ended when its chip
// or row is deleted.

namespace {

void clearLayout(QLayout* layout) {
  while (QLayoutItem* item = layout->takeAt(0)) {
    delete item->widget();
    delete item;
  }
}

}  // namespace

void DetailView::showUncertain() {
  uncertainSection_->setVisible(!uncertain_.empty());
  if (uncertain_ == uncertainShown_ && uncertainFlow_->count() == static_cast<int>(uncertain_.size())) return;
  uncertainShown_ = uncertain_;
  clearLayout(uncertainFlow_);
  for (const UncertainWord& word : uncertain_) {
    QToolButton* check = smallButton(nullptr, "object-select", "✓", "I've checked this one");
    check->setObjectName("checkUncertainButton");
    auto* chip = new Chip(QString::fromStdString(DetailText::uncertainChip(word)),
                          [] {
                            QColor tint = Palette::flag();
                            tint.setAlphaF(0.8f);
                            return tint;
                          }(),
                          check);
    chip->setObjectName("uncertainChip");
    connect(check, &QToolButton::clicked, this, [this, word] { dismissUncertain(word); },
            Qt::QueuedConnection);
    uncertainFlow_->addWidget(chip);
  }
}

void DetailView::showPeople() {
  if (peopleShown_ && *peopleShown_ == people_) return;
  peopleShown_ = people_;
  clearLayout(peopleFlow_);
  for (const Person& person : people_) {
    const QString name = QString::fromStdString(person.name);
    QToolButton* remove = smallButton(nullptr, "window-close", "×", "Remove " + name + " from this scan");
    remove->setObjectName("removePersonButton");
    auto* chip = new Chip(name, secondaryTint(), remove);
    chip->setObjectName("personChip");
    const std::int64_t personId = person.id;
    connect(remove, &QToolButton::clicked, this, [this, personId] { removePerson(personId); },
            Qt::QueuedConnection);
    peopleFlow_->addWidget(chip);
  }
}

void DetailView::showDates() {
  if (datesShown_ && *datesShown_ == dates_) return;
  datesShown_ = dates_;
  clearLayout(dateRows_);
  for (const ItemDate& date : dates_) {
    auto* row = new QWidget();
    row->setObjectName("dateRow");
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    QToolButton* confirm =
        smallButton(row, date.confirmed ? "emblem-ok" : "radio", date.confirmed ? "●" : "○",
                    date.confirmed ? "Confirmed" : "Mark this date as right");
    confirm->setObjectName("confirmDateButton");
    auto* value = new QLabel(QString::fromStdString(DateExtractor::pretty(date.value)), row);
    value->setObjectName("dateValue");
    // The source takes the room left in the row, cut with an ellipsis when it needs more.
    auto* source = new PanelStyle::ClampedText(QString::fromStdString(date.source), 1, Qt::ElideRight, row);
    source->setObjectName("dateSource");
    detail_style::caption(source);
    source->setColor(PanelStyle::secondary());
    source->setToolTip(QString::fromStdString(date.source));
    QToolButton* remove = smallButton(row, "window-close", "×", "Not a date on this scan");
    remove->setObjectName("deleteDateButton");
    layout->addWidget(confirm);
    layout->addWidget(value);
    layout->addWidget(source, 1, Qt::AlignVCenter);
    layout->addWidget(remove);
    connect(confirm, &QToolButton::clicked, this, [this, date] { toggleDate(date); }, Qt::QueuedConnection);
    const std::int64_t dateId = date.id;
    connect(remove, &QToolButton::clicked, this, [this, dateId] { deleteDate(dateId); },
            Qt::QueuedConnection);
    dateRows_->addWidget(row);
  }
}

// ---- Actions ----

void DetailView::dismissUncertain(const UncertainWord& word) {
  uncertain_ = DetailText::dismissing(uncertain_, word);
  model_.catalog().saveUncertain(itemId_, DetailText::storedUncertain(uncertain_));
  model_.scheduleReload(0.4);
  showUncertain();
}

void DetailView::removePerson(std::int64_t personId) {
  model_.catalog().untagPerson(itemId_, personId);
  refreshLists();
}

void DetailView::addPerson() {
  // No person is made for a scan that has gone meanwhile.
  if (!model_.catalog().getItem(itemId_)) return;
  const std::int64_t personId = model_.catalog().ensurePerson(personField_->text().toStdString());
  if (personId != 0) model_.catalog().tagPerson(itemId_, personId);
  personField_->clear();
  refreshLists();
}

void DetailView::toggleDate(const ItemDate& date) {
  model_.catalog().setDateConfirmed(date.id, !date.confirmed);
  refreshLists();
}

void DetailView::deleteDate(std::int64_t dateId) {
  model_.catalog().deleteDate(dateId);
  refreshLists();
}

void DetailView::addDate() {
  const std::vector<ItemDate> found = DateExtractor::extract(dateField_->text().toStdString(), itemId_);
  if (found.empty() || !model_.catalog().getItem(itemId_)) return;
  model_.catalog().addDate(itemId_, found.front().value, "added by you", /*confirmed=*/true);
  dateField_->clear();
  refreshLists();
}

}  // namespace quorvel::app
