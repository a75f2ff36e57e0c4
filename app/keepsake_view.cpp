#include "app/keepsake_view.h"

#include <QAbstractListModel>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPainter>
#include <QPainterPath>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QStyledItemDelegate>
#include <QVBoxLayout>
#include <atomic>

#include "app/components.h"
#include "app/panel_style.h"
#include "core/catalog.h"
#include "core/date_extractor.h"

namespace quorvel::app {

using PanelStyle::Text;

namespace {

QString qs(const std::string& text) { return QString::fromStdString(text); }

std::string trimBlanks(const std::string& text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

constexpr int kDetailRole = Qt::UserRole + 1;
constexpr int kThumbnailRole = Qt::UserRole + 2;
constexpr int kRowHeight = 52;

}  // namespace

// The candidates of the sheet with their choice: one row per item, in the
// order the library showed them. The details of a row are made when it is
// first drawn, so that opening the sheet on a large library costs little.
class CandidateList : public QAbstractListModel {
 public:
  CandidateList(std::vector<ArchiveItem> items, std::unordered_map<std::int64_t, std::string> dates,
                QObject* parent)
      : QAbstractListModel(parent), items_(std::move(items)), dates_(std::move(dates)),
        chosen_(items_.size(), 1), chosenCount_(items_.size()) {}

  int rowCount(const QModelIndex& parent = {}) const override {
    return parent.isValid() ? 0 : static_cast<int>(items_.size());
  }

  QVariant data(const QModelIndex& index, int role) const override {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    const ArchiveItem& item = items_[static_cast<std::size_t>(index.row())];
    switch (role) {
      case Qt::DisplayRole: return qs(item.displayTitle());
      case Qt::CheckStateRole:
        return chosen_[static_cast<std::size_t>(index.row())] ? Qt::Checked : Qt::Unchecked;
      case Qt::UserRole: return QVariant::fromValue<qint64>(item.id);
      case kDetailRole: return qs(KeepsakeView::rowDetail(item, dates_));
      case kThumbnailRole:
        return item.thumbnailPath ? QVariant(qs(*item.thumbnailPath)) : QVariant();
      default: return {};
    }
  }

  Qt::ItemFlags flags(const QModelIndex& index) const override {
    return QAbstractListModel::flags(index) | Qt::ItemIsUserCheckable;
  }

  bool setData(const QModelIndex& index, const QVariant& value, int role) override {
    if (role != Qt::CheckStateRole || !index.isValid()) return false;
    set(static_cast<std::size_t>(index.row()), value.toInt() == Qt::Checked);
    return true;
  }

  void toggle(int row) {
    if (row < 0 || row >= rowCount()) return;
    set(static_cast<std::size_t>(row), !chosen_[static_cast<std::size_t>(row)]);
  }

  void setAll(bool chosen) {
    std::fill(chosen_.begin(), chosen_.end(), chosen ? 1 : 0);
    chosenCount_ = chosen ? items_.size() : 0;
    if (!items_.empty()) emit dataChanged(index(0), index(rowCount() - 1), {Qt::CheckStateRole});
  }

  std::size_t chosenCount() const { return chosenCount_; }
  std::size_t size() const { return items_.size(); }

  std::vector<std::int64_t> chosenIds() const {
    std::vector<std::int64_t> ids;
    ids.reserve(chosenCount_);
    for (std::size_t i = 0; i < items_.size(); ++i) {
      if (chosen_[i]) ids.push_back(items_[i].id);
    }
    return ids;
  }

  std::function<void()> onChoiceChanged;

 private:
  void set(std::size_t row, bool chosen) {
    if (static_cast<bool>(chosen_[row]) == chosen) return;
    chosen_[row] = chosen ? 1 : 0;
    chosenCount_ += chosen ? 1 : std::size_t(-1);
    const QModelIndex at = index(static_cast<int>(row));
    emit dataChanged(at, at, {Qt::CheckStateRole});
    if (onChoiceChanged) onChoiceChanged();
  }

  std::vector<ArchiveItem> items_;
  std::unordered_map<std::int64_t, std::string> dates_;
  std::vector<char> chosen_;
  std::size_t chosenCount_ = 0;
};

namespace {

// Draws a candidate row: the checkbox, the thumbnail, the title and the detail line.
class CandidateDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

  QSize sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const override {
    return QSize(300, kRowHeight);
  }

  // The row's click switches the checkbox (and Space the current row's): Qt's
  // own switch, where it would draw a checkbox, would undo that click.
  bool editorEvent(QEvent*, QAbstractItemModel*, const QStyleOptionViewItem&, const QModelIndex&) override {
    return false;
  }

  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override {
    QStyleOptionViewItem background = option;
    initStyleOption(&background, index);
    background.text.clear();
    background.features &= ~QStyleOptionViewItem::HasCheckIndicator;
    QStyle* style = option.widget ? option.widget->style() : QApplication::style();
    style->drawPrimitive(QStyle::PE_PanelItemViewItem, &background, painter, option.widget);

    const QRect rect = option.rect.adjusted(8, 0, -8, 0);
    int x = rect.left();

    QStyleOptionButton box;
    box.state = QStyle::State_Enabled;
    box.state |= index.data(Qt::CheckStateRole).toInt() == Qt::Checked ? QStyle::State_On
                                                                        : QStyle::State_Off;
    const int indicator = style->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, option.widget);
    box.rect = QRect(x, rect.center().y() - indicator / 2, indicator, indicator);
    style->drawPrimitive(QStyle::PE_IndicatorCheckBox, &box, painter, option.widget);
    x += indicator + 10;

    const QRect thumb(x, rect.center().y() - 21, 34, 42);
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    QPainterPath clip;
    clip.addRoundedRect(QRectF(thumb), 3, 3);
    painter->setClipPath(clip);
    const QVariant path = index.data(kThumbnailRole);
    std::optional<QImage> image;
    if (path.isValid()) {
      image = ThumbnailCache::shared().cached(path.toString());
      if (!image) ThumbnailCache::shared().request(path.toString());
    }
    if (image && !image->isNull()) {
      const QSize fitted = image->size().scaled(thumb.size(), Qt::KeepAspectRatioByExpanding);
      const QRect target(thumb.center().x() - fitted.width() / 2,
                         thumb.center().y() - fitted.height() / 2, fitted.width(), fitted.height());
      painter->drawImage(target, *image);
    } else {
      paintThumbnailPlaceholder(*painter, thumb);
    }
    painter->restore();
    x += 34 + 10;

    const QRect texts(x, rect.top(), rect.right() - x, rect.height());
    const QFont titleFont = PanelStyle::font(Text::body);
    const QFont detailFont = PanelStyle::font(Text::caption);
    const QFontMetrics titleMetrics(titleFont);
    const QFontMetrics detailMetrics(detailFont);
    const int block = titleMetrics.height() + 1 + detailMetrics.height();
    const int top = texts.center().y() - block / 2;
    painter->save();
    const bool selected = option.state & QStyle::State_Selected;
    QColor primary = option.palette.color(selected ? QPalette::HighlightedText : QPalette::Text);
    painter->setFont(titleFont);
    painter->setPen(primary);
    painter->drawText(QRect(texts.left(), top, texts.width(), titleMetrics.height()),
                      Qt::AlignLeft | Qt::AlignVCenter,
                      titleMetrics.elidedText(index.data(Qt::DisplayRole).toString(),
                                              Qt::ElideRight, texts.width()));
    QColor secondary = primary;
    secondary.setAlphaF(0.6f);
    painter->setFont(detailFont);
    painter->setPen(secondary);
    painter->drawText(QRect(texts.left(), top + titleMetrics.height() + 1, texts.width(),
                            detailMetrics.height()),
                      Qt::AlignLeft | Qt::AlignVCenter,
                      detailMetrics.elidedText(index.data(kDetailRole).toString(), Qt::ElideRight,
                                               texts.width()));
    painter->restore();
  }
};

}  // namespace

// ---- Pure rules ----

std::string KeepsakeView::summaryText(int chosen) {
  return std::to_string(chosen) + (chosen == 1 ? " scan" : " scans") + " \u00B7 about " +
         std::to_string(2 * chosen + 4) + " pages";
}

std::string KeepsakeView::sourceName(const std::string& libraryTitle) {
  return libraryTitle == "Library" ? "your whole library" : libraryTitle;
}

std::string KeepsakeView::allNoneTitle(std::size_t chosen, std::size_t candidates) {
  return chosen == candidates ? "None" : "All";
}

std::string KeepsakeView::initialTitle(const std::string& title, const LibraryFilter& filter,
                                       const std::vector<Person>& people) {
  if (title != KeepsakeOptions{}.title) return title;
  if (filter.which() != LibraryFilter::Case::person) return title;
  for (const Person& person : people) {
    if (person.id == filter.personId()) return "Letters of " + person.name;
  }
  return title;
}

bool KeepsakeView::canMake(bool working, std::size_t chosen, const std::string& title) {
  return !working && chosen > 0 && !trimBlanks(title).empty();
}

std::string KeepsakeView::rowDetail(const ArchiveItem& item,
                                    const std::unordered_map<std::int64_t, std::string>& firstDates) {
  std::string detail;
  if (auto date = firstDates.find(item.id); date != firstDates.end()) {
    detail = DateExtractor::pretty(date->second);
  }
  if (item.kind != ItemKind::unknown) {
    if (!detail.empty()) detail += " \u00B7 ";
    detail += label(item.kind);
  }
  return detail;
}

std::string KeepsakeView::proposedFileName(const std::string& title) {
  return AppModel::safeFileName(trimBlanks(title) + ".pdf");
}

// ---- The sheet ----

KeepsakeView::KeepsakeView(AppModel& model, QWidget* parent)
    : QDialog(parent), model_(model), link_(std::make_shared<GuiLink>(this)) {
  setObjectName("keepsakeView");
  setWindowTitle("Make a Keepsake Book");
  setModal(true);
  setFixedSize(900, 640);
  options_.title = initialTitle(options_.title, model_.filter(), model_.people());

  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);

  // Header.
  auto* header = new QVBoxLayout;
  header->setContentsMargins(20, 20, 20, 20);
  header->setSpacing(2);
  header->addWidget(PanelStyle::label("Make a Keepsake Book", Text::title2, this, QFont::DemiBold));
  QLabel* lead = PanelStyle::label(
      "Each scan on a left-hand page, its words typed out on the facing page. Ready to print or "
      "send.",
      Text::callout, this);
  PanelStyle::setTextColor(lead, PanelStyle::secondary());
  header->addWidget(lead);
  column->addLayout(header);
  column->addWidget(PanelStyle::divider(this));

  // Body: the scan list, a divider, the options.
  auto* body = new QHBoxLayout;
  body->setSpacing(0);
  auto* listColumn = new QWidget(this);
  listColumn->setFixedWidth(340);
  auto* listLayout = new QVBoxLayout(listColumn);
  listLayout->setContentsMargins(0, 0, 0, 0);
  listLayout->setSpacing(0);
  auto* heading = new QHBoxLayout;
  heading->setContentsMargins(14, 10, 14, 10);
  QLabel* from = PanelStyle::label(qs("From " + sourceName(model_.title())), Text::headline,
                                   listColumn);
  from->setObjectName("sourceHeading");
  from->setWordWrap(false);
  heading->addWidget(from, 1);
  allNone_ = new QPushButton(listColumn);
  allNone_->setObjectName("allNoneButton");
  allNone_->setFlat(true);
  allNone_->setCursor(Qt::PointingHandCursor);
  PanelStyle::setTextColor(allNone_, Palette::airBlue());
  QPalette link = allNone_->palette();
  link.setColor(QPalette::ButtonText, Palette::airBlue());
  allNone_->setPalette(link);
  heading->addWidget(allNone_);
  listLayout->addLayout(heading);

  candidates_ = new CandidateList(model_.items(), model_.firstDates(), this);
  candidates_->onChoiceChanged = [this] { updateChoice(); };
  list_ = new QListView(listColumn);
  list_->setObjectName("candidateList");
  list_->setModel(candidates_);
  list_->setItemDelegate(new CandidateDelegate(list_));
  list_->setUniformItemSizes(true);
  list_->setFrameShape(QFrame::NoFrame);
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  list_->installEventFilter(this);
  listLayout->addWidget(list_, 1);
  connect(list_, &QListView::clicked, this, [this](const QModelIndex& index) {
    candidates_->toggle(index.row());
  });
  connect(&ThumbnailCache::shared(), &ThumbnailCache::loaded, list_->viewport(),
          [viewport = list_->viewport()] { viewport->update(); });
  connect(allNone_, &QPushButton::clicked, this, [this] {
    candidates_->setAll(candidates_->chosenCount() != candidates_->size());
    updateChoice();
  });
  body->addWidget(listColumn);
  auto* upright = new QFrame(this);
  upright->setFrameShape(QFrame::VLine);
  upright->setFrameShadow(QFrame::Plain);
  upright->setFixedWidth(1);
  PanelStyle::setTextColor(upright, PanelStyle::tertiary());
  body->addWidget(upright);

  // The options form.
  auto* formScroll = new QScrollArea(this);
  formScroll->setFrameShape(QFrame::NoFrame);
  formScroll->setWidgetResizable(true);
  formScroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  auto* form = new QWidget(formScroll);
  auto* formLayout = new QVBoxLayout(form);
  formLayout->setContentsMargins(20, 14, 20, 14);
  formLayout->setSpacing(12);

  auto* book = new QGroupBox("The book", form);
  auto* bookForm = new QFormLayout(book);
  title_ = new QLineEdit(qs(options_.title), book);
  title_->setObjectName("titleField");
  bookForm->addRow("Title", title_);
  auto* subtitle = new QLineEdit(qs(options_.subtitle), book);
  subtitle->setObjectName("subtitleField");
  subtitle->setPlaceholderText("Letters home, 1923 \u2013 1951");
  bookForm->addRow("Subtitle (optional)", subtitle);
  auto* compiledBy = new QLineEdit(qs(options_.compiledBy), book);
  compiledBy->setObjectName("compiledByField");
  bookForm->addRow("Compiled by (optional)", compiledBy);
  auto* dedicationBlock = new QVBoxLayout;
  dedicationBlock->setSpacing(4);
  dedicationBlock->addWidget(PanelStyle::label("Dedication (optional)", Text::callout, book));
  auto* dedication = new QPlainTextEdit(qs(options_.dedication), book);
  dedication->setObjectName("dedicationField");
  dedication->setFont(PanelStyle::font(Text::body));
  dedication->setFixedHeight(54);
  dedicationBlock->addWidget(dedication);
  bookForm->addRow(dedicationBlock);
  formLayout->addWidget(book);
  connect(title_, &QLineEdit::textChanged, this, [this](const QString& text) {
    options_.title = text.toStdString();
    updateFooter();
  });
  connect(subtitle, &QLineEdit::textChanged, this,
          [this](const QString& text) { options_.subtitle = text.toStdString(); });
  connect(compiledBy, &QLineEdit::textChanged, this,
          [this](const QString& text) { options_.compiledBy = text.toStdString(); });
  connect(dedication, &QPlainTextEdit::textChanged, this, [this, dedication] {
    options_.dedication = dedication->toPlainText().toStdString();
  });

  auto* contents = new QGroupBox("What goes in", form);
  auto* contentsLayout = new QVBoxLayout(contents);
  auto toggle = [&](const char* name, const char* text, bool& field) {
    auto* box = new QCheckBox(text, contents);
    box->setObjectName(name);
    box->setChecked(field);
    connect(box, &QCheckBox::toggled, this, [&field](bool on) { field = on; });
    contentsLayout->addWidget(box);
    return box;
  };
  includeText_ = toggle("includeText", "Typed text beside each scan", options_.includeText);
  includeTranslations_ =
      toggle("includeTranslations", "English translations", options_.includeTranslations);
  toggle("includeNotes", "Your notes", options_.includeNotes);
  toggle("peopleIndex", "Index of people at the back", options_.peopleIndex);
  includeTranslations_->setEnabled(options_.includeText);
  connect(includeText_, &QCheckBox::toggled, includeTranslations_, &QWidget::setEnabled);
  formLayout->addWidget(contents);

  auto* layoutBox = new QGroupBox("Layout", form);
  auto* layoutForm = new QFormLayout(layoutBox);
  auto* order = new QComboBox(layoutBox);
  order->setObjectName("orderPicker");
  for (KeepsakeOptions::Order o : allOrders()) order->addItem(qs(label(o)), qs(rawValue(o)));
  order->setCurrentIndex(order->findData(qs(rawValue(options_.order))));
  layoutForm->addRow("Order", order);
  auto* paper = new QComboBox(layoutBox);
  paper->setObjectName("paperPicker");
  for (KeepsakeOptions::PageSize p : allPageSizes()) paper->addItem(qs(label(p)), qs(rawValue(p)));
  paper->setCurrentIndex(paper->findData(qs(rawValue(options_.pageSize))));
  layoutForm->addRow("Paper", paper);
  connect(order, &QComboBox::currentIndexChanged, this, [this, order] {
    if (auto o = orderFromRaw(order->currentData().toString().toStdString())) options_.order = *o;
  });
  connect(paper, &QComboBox::currentIndexChanged, this, [this, paper] {
    if (auto p = pageSizeFromRaw(paper->currentData().toString().toStdString())) {
      options_.pageSize = *p;
    }
  });
  formLayout->addWidget(layoutBox);
  formLayout->addStretch(1);
  formScroll->setWidget(form);
  body->addWidget(formScroll, 1);
  column->addLayout(body, 1);
  column->addWidget(PanelStyle::divider(this));

  // Footer.
  auto* footer = new QHBoxLayout;
  footer->setContentsMargins(16, 16, 16, 16);
  footer->setSpacing(8);
  progressBar_ = new QProgressBar(this);
  progressBar_->setObjectName("bookProgress");
  progressBar_->setRange(0, 1000);
  progressBar_->setTextVisible(false);
  progressBar_->setFixedWidth(160);
  footer->addWidget(progressBar_);
  status_ = new PanelStyle::ClampedText(QString(), 2, Qt::ElideRight, this);
  status_->setObjectName("bookStatus");
  status_->setFont(PanelStyle::font(Text::callout));
  footer->addWidget(status_, 1, Qt::AlignVCenter);
  cancel_ = new QPushButton("Cancel", this);
  cancel_->setObjectName("cancelButton");
  cancel_->setAutoDefault(false);
  footer->addWidget(cancel_);
  makeButton_ = new QPushButton("Make Book\u2026", this);
  makeButton_->setObjectName("makeBookButton");
  makeButton_->setDefault(true);
  footer->addWidget(makeButton_);
  column->addLayout(footer);
  connect(cancel_, &QPushButton::clicked, this, &KeepsakeView::reject);
  connect(makeButton_, &QPushButton::clicked, this, &KeepsakeView::make);

  updateChoice();
}

KeepsakeView::~KeepsakeView() {
  // A book still being written finishes on its worker (joined below); its
  // results are dropped.
  link_->detach();
}

std::vector<std::int64_t> KeepsakeView::chosenIds() const { return candidates_->chosenIds(); }

void KeepsakeView::updateChoice() {
  allNone_->setText(qs(allNoneTitle(candidates_->chosenCount(), candidates_->size())));
  updateFooter();
}

void KeepsakeView::updateFooter() {
  progressBar_->setVisible(working_);
  if (working_) {
    progressBar_->setValue(static_cast<int>(progress_ * 1000));
    status_->setText("Laying out the pages\u2026");
    status_->setColor(PanelStyle::secondary());
  } else if (error_) {
    status_->setText(qs(*error_));
    status_->setColor(PanelStyle::red());
  } else {
    status_->setText(qs(summaryText(static_cast<int>(candidates_->chosenCount()))));
    status_->setColor(PanelStyle::secondary());
  }
  cancel_->setEnabled(!working_);
  makeButton_->setEnabled(canMake(working_, candidates_->chosenCount(), options_.title));
}

void KeepsakeView::make() {
  if (!canMake(working_, candidates_->chosenCount(), options_.title)) return;
  const std::optional<std::string> path =
      model_.savePanel("Save the keepsake book", proposedFileName(options_.title));
  if (!path || path->empty()) return;
  const std::vector<std::int64_t> ids = candidates_->chosenIds();
  working_ = true;
  error_.reset();
  progress_ = 0;
  updateFooter();

  Catalog* catalog = &model_.catalog();
  const KeepsakeOptions options = options_;
  const std::string to = *path;
  GuiLinkPtr link = link_;
  workers_.run([this, catalog, ids, options, to, link](std::stop_token) {
    // At most one progress report waits on the GUI thread at a time; it
    // shows the newest fraction when it runs.
    auto latest = std::make_shared<std::atomic<double>>(0.0);
    auto waiting = std::make_shared<std::atomic<bool>>(false);
    auto report = [this, link, latest, waiting](double fraction) {
      latest->store(fraction);
      if (waiting->exchange(true)) return;
      link->post([this, latest, waiting] {
        waiting->store(false);
        if (!working_) return;
        progress_ = latest->load();
        progressBar_->setValue(static_cast<int>(progress_ * 1000));
      });
    };
    std::optional<KeepsakeSummary> summary;
    std::optional<std::string> error;
    try {
      summary = KeepsakeBook::make(*catalog, ids, options, to, report);
    } catch (const std::exception& failure) {
      error = AppModel::describe(failure);
    } catch (...) {
      error = "Something went wrong.";
    }
    link->post([this, to, summary, error] { finished(to, summary, error); });
  });
}

void KeepsakeView::finished(const std::string& path, std::optional<KeepsakeSummary> summary,
                            std::optional<std::string> error) {
  working_ = false;
  if (summary) {
    model_.bookSaved(path, *summary);
    accept();
    return;
  }
  error_ = error ? error : std::optional<std::string>("Something went wrong.");
  updateFooter();
}

void KeepsakeView::reject() {
  if (working_) return;
  QDialog::reject();
}

void KeepsakeView::done(int result) {
  if (working_) return;
  QDialog::done(result);
  model_.setShowBook(false);
}

void KeepsakeView::keyPressEvent(QKeyEvent* event) {
  if (working_ && event->key() == Qt::Key_Escape) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

void KeepsakeView::closeEvent(QCloseEvent* event) {
  if (working_) {
    event->ignore();
    return;
  }
  QDialog::closeEvent(event);
}

}  // namespace quorvel::app

namespace quorvel::app {

bool KeepsakeView::eventFilter(QObject* watched, QEvent* event) {
  // Space switches the current row's checkbox.
  if (watched == list_ && event->type() == QEvent::KeyPress &&
      static_cast<QKeyEvent*>(event)->key() == Qt::Key_Space && list_->currentIndex().isValid()) {
    candidates_->toggle(list_->currentIndex().row());
    return true;
  }
  return QDialog::eventFilter(watched, event);
}

}  // namespace quorvel::app
