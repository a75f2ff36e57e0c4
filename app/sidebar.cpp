#include "app/sidebar.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QListWidget>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/components.h"
#include "core/handwriting_engine.h"

namespace quorvel::app {

namespace Sidebar {

std::vector<Section> sections(const CatalogStats& stats, const std::vector<Person>& people,
                              const std::vector<std::pair<int, int>>& years) {
  std::vector<Section> result;
  result.push_back(Section{"Library",
                           {
                               {LibraryFilter::all(), "All Scans", "view-grid-symbolic", stats.items},
                               {LibraryFilter::kind(ItemKind::letter), "Letters", "mail-unread-symbolic", 0},
                               {LibraryFilter::kind(ItemKind::photo), "Photos", "image-x-generic-symbolic", 0},
                               {LibraryFilter::kind(ItemKind::document), "Documents", "x-office-document-symbolic", 0},
                               {LibraryFilter::kind(ItemKind::card), "Cards", "x-office-address-book-symbolic", 0},
                               {LibraryFilter::kind(ItemKind::newspaper), "Newspaper", "emblem-documents-symbolic", 0},
                               {LibraryFilter::favorites(), "Favorites", "non-starred-symbolic", 0},
                               {LibraryFilter::needsReview(), "Needs Review", "view-reveal-symbolic", 0},
                           }});
  if (!people.empty()) {
    Section section{"People", {}};
    for (const Person& person : people)
      section.rows.push_back({LibraryFilter::person(person.id), person.name, "avatar-default-symbolic", person.itemCount});
    result.push_back(std::move(section));
  }
  if (!years.empty()) {
    Section section{"Years", {}};
    for (const auto& [year, count] : years)
      section.rows.push_back({LibraryFilter::year(year), std::to_string(year), "x-office-calendar-symbolic", count});
    result.push_back(std::move(section));
  }
  return result;
}

std::string downloadDetail(const DownloadProgress& progress) {
  if (progress.etaSeconds < 1) return progress.message;
  return progress.message + " \u00b7 " + HandwritingEngine::pretty(progress.etaSeconds) + " left";
}

std::string readingTitle(const QueueState& queue) {
  std::string title = "Reading handwriting";
  if (!queue.waiting.empty()) title += " \u00b7 " + std::to_string(queue.waiting.size()) + " more waiting";
  return title;
}

std::string readingDetail(const QueueState& queue) {
  return queue.progress ? queue.progress->message : std::string("Getting ready\u2026");
}

std::optional<double> readingFraction(const QueueState& queue) {
  if (!queue.progress || queue.progress->total < 1) return std::nullopt;
  return std::clamp(static_cast<double>(queue.progress->done) / static_cast<double>(queue.progress->total), 0.0, 1.0);
}

std::optional<std::string> idleMessage(const QueueState& queue) {
  if (queue.isBusy() || !queue.lastMessage || *queue.lastMessage == "Stopped") return std::nullopt;
  return queue.lastMessage;
}

std::string privacyLine() { return "Everything stays on this computer."; }

}  // namespace Sidebar

namespace {

constexpr int kBadgeRole = Qt::UserRole + 1;
constexpr int kHeaderRole = Qt::UserRole + 2;

// Rows with a count badge at their trailing end; section headings in small
// semibold capitals.
class RowDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    if (index.data(kHeaderRole).toBool()) {
      painter->save();
      QFont font = option.font;
      font.setPointSizeF(font.pointSizeF() * 0.85);
      font.setWeight(QFont::DemiBold);
      painter->setFont(font);
      painter->setPen(option.palette.color(QPalette::PlaceholderText));
      painter->drawText(option.rect.adjusted(10, 0, -8, -3), Qt::AlignLeft | Qt::AlignBottom,
                        index.data(Qt::DisplayRole).toString());
      painter->restore();
      return;
    }
    const int badge = index.data(kBadgeRole).toInt();
    // The selection spans the whole row, badge included.
    QStyleOptionViewItem full = option;
    initStyleOption(&full, index);
    full.text.clear();
    full.icon = QIcon();
    const QStyle* style = option.widget ? option.widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &full, painter, option.widget);
    QStyleOptionViewItem inner = option;
    inner.rect.setLeft(inner.rect.left() + 6);
    QRect badgeRect;
    QString badgeText;
    QFont badgeFont = option.font;
    badgeFont.setPointSizeF(badgeFont.pointSizeF() * 0.85);
    if (badge > 0) {
      badgeText = QString::number(badge);
      const int width = QFontMetrics(badgeFont).horizontalAdvance(badgeText) + 12;
      const int height = QFontMetrics(badgeFont).height() + 2;
      badgeRect = QRect(option.rect.right() - 8 - width, option.rect.center().y() - height / 2, width, height);
      inner.rect.setRight(badgeRect.left() - 4);
    }
    QStyledItemDelegate::paint(painter, inner, index);
    if (badge > 0) {
      painter->save();
      painter->setRenderHint(QPainter::Antialiasing);
      const bool selected = option.state & QStyle::State_Selected;
      QColor fill = option.palette.color(selected ? QPalette::HighlightedText : QPalette::WindowText);
      fill.setAlphaF(0.1f);
      painter->setPen(Qt::NoPen);
      painter->setBrush(fill);
      painter->drawRoundedRect(QRectF(badgeRect), badgeRect.height() / 2.0, badgeRect.height() / 2.0);
      painter->setFont(badgeFont);
      painter->setPen(option.palette.color(selected ? QPalette::HighlightedText : QPalette::PlaceholderText));
      painter->drawText(badgeRect, Qt::AlignCenter, badgeText);
      painter->restore();
    }
  }
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    if (index.data(kHeaderRole).toBool()) {
      size.setHeight(index.row() == 0 ? 24 : 34);
    } else {
      size.setHeight(std::max(size.height(), 28));
    }
    return size;
  }
};

QLabel* footerLabel(const QString& name, double scale, bool secondary, QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setObjectName(name);
  label->setWordWrap(true);
  QFont font = label->font();
  font.setPointSizeF(font.pointSizeF() * scale);
  label->setFont(font);
  if (secondary) {
    QPalette colours = label->palette();
    colours.setColor(QPalette::WindowText, colours.color(QPalette::PlaceholderText));
    label->setPalette(colours);
  }
  return label;
}

QProgressBar* footerProgress(const QString& name, QWidget* parent) {
  auto* bar = new QProgressBar(parent);
  bar->setObjectName(name);
  bar->setTextVisible(false);
  bar->setMaximumHeight(6);
  bar->setRange(0, 1000);
  return bar;
}

void setFraction(QProgressBar* bar, std::optional<double> fraction) {
  if (!fraction) {
    bar->setRange(0, 0);  // indeterminate
    return;
  }
  bar->setRange(0, 1000);
  bar->setValue(static_cast<int>(std::clamp(*fraction, 0.0, 1.0) * 1000 + 0.5));
}

QToolButton* iconButton(const QString& name, const char* icon, const QString& help, QWidget* parent) {
  auto* button = new QToolButton(parent);
  button->setObjectName(name);
  button->setIcon(QIcon::fromTheme(icon));
  button->setAutoRaise(true);
  button->setToolTip(help);
  button->setAccessibleName(help);
  return button;
}

// A block of the footer: a vertical stack with no margins.
QWidget* block(const QString& name, QWidget* parent, QVBoxLayout** layout) {
  auto* widget = new QWidget(parent);
  widget->setObjectName(name);
  *layout = new QVBoxLayout(widget);
  (*layout)->setContentsMargins(0, 0, 0, 0);
  (*layout)->setSpacing(6);
  return widget;
}

}  // namespace

SidebarView::SidebarView(AppModel& model, QWidget* parent) : QWidget(parent), model_(model) {
  setObjectName("sidebar");
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  list_ = new QListWidget(this);
  list_->setObjectName("sidebarList");
  list_->setFrameShape(QFrame::NoFrame);
  list_->setItemDelegate(new RowDelegate(list_));
  list_->setIconSize(QSize(16, 16));
  list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  list_->setUniformItemSizes(false);
  layout->addWidget(list_, 1);

  auto* footer = new QWidget(this);
  footer->setObjectName("sidebarFooter");
  auto* column = new QVBoxLayout(footer);
  column->setContentsMargins(12, 12, 12, 12);
  column->setSpacing(6);

  QVBoxLayout* inner = nullptr;
  importBlock_ = block("importBlock", footer, &inner);
  importProgress_ = footerProgress("importProgress", importBlock_);
  importMessage_ = footerLabel("importMessage", 0.95, false, importBlock_);
  inner->addWidget(importProgress_);
  inner->addWidget(importMessage_);
  column->addWidget(importBlock_);

  downloadBlock_ = block("downloadBlock", footer, &inner);
  downloadProgress_ = footerProgress("downloadProgress", downloadBlock_);
  inner->addWidget(downloadProgress_);
  {
    auto* row = new QHBoxLayout();
    auto* texts = new QVBoxLayout();
    texts->setSpacing(1);
    QLabel* title = footerLabel("downloadTitle", 0.95, false, downloadBlock_);
    title->setText("Downloading the handwriting reader");
    downloadDetail_ = footerLabel("downloadDetail", 0.85, true, downloadBlock_);
    texts->addWidget(title);
    texts->addWidget(downloadDetail_);
    row->addLayout(texts, 1);
    QToolButton* pause = iconButton("pauseDownloadButton", "media-playback-pause-symbolic",
                                    "Pause the download. It picks up where it left off.", downloadBlock_);
    row->addWidget(pause);
    inner->addLayout(row);
    connect(pause, &QToolButton::clicked, this, [this] { model_.pauseDownload(); });
  }
  column->addWidget(downloadBlock_);

  downloadErrorBlock_ = block("downloadErrorBlock", footer, &inner);
  downloadError_ = footerLabel("downloadError", 0.85, false, downloadErrorBlock_);
  {
    QPalette colours = downloadError_->palette();
    colours.setColor(QPalette::WindowText, Palette::airRed());
    downloadError_->setPalette(colours);
  }
  auto* retry = new QPushButton("Try Again", downloadErrorBlock_);
  retry->setObjectName("retryDownloadButton");
  {
    QFont small = retry->font();
    small.setPointSizeF(small.pointSizeF() * 0.9);
    retry->setFont(small);
  }
  inner->addWidget(downloadError_);
  inner->addWidget(retry, 0, Qt::AlignLeft);
  connect(retry, &QPushButton::clicked, this, [this] { model_.startDownload({}); });
  column->addWidget(downloadErrorBlock_);

  readingBlock_ = block("readingBlock", footer, &inner);
  readingProgress_ = footerProgress("readingProgress", readingBlock_);
  inner->addWidget(readingProgress_);
  {
    auto* row = new QHBoxLayout();
    auto* texts = new QVBoxLayout();
    texts->setSpacing(1);
    readingTitle_ = footerLabel("readingTitle", 0.95, false, readingBlock_);
    readingDetail_ = footerLabel("readingDetail", 0.85, true, readingBlock_);
    texts->addWidget(readingTitle_);
    texts->addWidget(readingDetail_);
    row->addLayout(texts, 1);
    QToolButton* stop =
        iconButton("stopReadingButton", "media-playback-stop-symbolic", "Stop reading handwriting", readingBlock_);
    row->addWidget(stop);
    inner->addLayout(row);
    connect(stop, &QToolButton::clicked, this, [this] { model_.handwritingQueue().cancelAll(); });
  }
  column->addWidget(readingBlock_);

  lastMessage_ = footerLabel("readingLastMessage", 0.85, true, footer);
  lastMessage_->setMaximumHeight(2 * lastMessage_->fontMetrics().lineSpacing() + 2);
  column->addWidget(lastMessage_);

  QLabel* privacy = footerLabel("privacyLine", 0.85, true, footer);
  privacy->setText(QString::fromStdString(Sidebar::privacyLine()));
  column->addWidget(privacy);
  layout->addWidget(footer);

  connect(list_, &QListWidget::itemClicked, this, [this](QListWidgetItem* item) {
    const int row = list_->row(item);
    if (row < 0 || static_cast<std::size_t>(row) >= filters_.size() || item->data(kHeaderRole).toBool()) return;
    model_.setSearchText("");
    model_.setFilter(filters_[static_cast<std::size_t>(row)]);
    selectCurrent();
  });
  connect(list_, &QListWidget::currentRowChanged, this, [this](int row) {
    // Keyboard moves choose like clicks do; moves made by selectCurrent() are blocked.
    if (row < 0 || static_cast<std::size_t>(row) >= filters_.size()) return;
    if (list_->item(row)->data(kHeaderRole).toBool()) return;
    const LibraryFilter& chosen = filters_[static_cast<std::size_t>(row)];
    if (chosen == model_.filter()) return;
    model_.setSearchText("");
    model_.setFilter(chosen);
  });
  connect(&model_, &AppModel::listsChanged, this, &SidebarView::rebuild);
  connect(&model_, &AppModel::filterChanged, this, &SidebarView::selectCurrent);
  connect(&model_, &AppModel::importStatusChanged, this, &SidebarView::updateFooter);
  connect(&model_, &AppModel::downloadChanged, this, &SidebarView::updateFooter);
  connect(&model_, &AppModel::queueChanged, this, &SidebarView::updateFooter);
  rebuild();
  updateFooter();
}

void SidebarView::rebuild() {
  std::vector<Sidebar::Section> sections = Sidebar::sections(model_.stats(), model_.people(), model_.years());
  if (sections == shown_) return;
  shown_ = std::move(sections);
  const QSignalBlocker blocker(list_);
  list_->clear();
  filters_.clear();
  for (const Sidebar::Section& section : shown_) {
    auto* heading = new QListWidgetItem(QString::fromStdString(section.title), list_);
    heading->setFlags(Qt::NoItemFlags);
    heading->setData(kHeaderRole, true);
    filters_.push_back(LibraryFilter::all());  // placeholder for the heading's row
    for (const Sidebar::Row& row : section.rows) {
      auto* item = new QListWidgetItem(QIcon::fromTheme(QString::fromStdString(row.icon)),
                                       QString::fromStdString(row.text), list_);
      item->setData(kBadgeRole, row.badge);
      filters_.push_back(row.filter);
    }
  }
  selectCurrent();
}

void SidebarView::selectCurrent() {
  const QSignalBlocker blocker(list_);
  for (std::size_t row = 0; row < filters_.size(); ++row) {
    QListWidgetItem* item = list_->item(static_cast<int>(row));
    if (!item || item->data(kHeaderRole).toBool()) continue;
    if (filters_[row] == model_.filter()) {
      list_->setCurrentRow(static_cast<int>(row));
      return;
    }
  }
  list_->clearSelection();
}

void SidebarView::updateFooter() {
  importBlock_->setVisible(model_.importMessage().has_value());
  if (model_.importMessage()) {
    importMessage_->setText(QString::fromStdString(*model_.importMessage()));
    setFraction(importProgress_, model_.importFraction());
  }
  const std::optional<DownloadProgress>& download = model_.download();
  downloadBlock_->setVisible(download.has_value());
  if (download) {
    setFraction(downloadProgress_, download->fraction());
    downloadDetail_->setText(QString::fromStdString(Sidebar::downloadDetail(*download)));
  }
  const bool showError = !download && model_.downloadError().has_value();
  downloadErrorBlock_->setVisible(showError);
  if (showError) downloadError_->setText(QString::fromStdString(*model_.downloadError()));

  const QueueState& queue = model_.queue();
  readingBlock_->setVisible(queue.isBusy());
  if (queue.isBusy()) {
    setFraction(readingProgress_, Sidebar::readingFraction(queue));
    readingTitle_->setText(QString::fromStdString(Sidebar::readingTitle(queue)));
    readingDetail_->setText(QString::fromStdString(Sidebar::readingDetail(queue)));
  }
  const std::optional<std::string> idle = Sidebar::idleMessage(queue);
  lastMessage_->setVisible(idle.has_value());
  if (idle) lastMessage_->setText(QString::fromStdString(*idle));
}

}  // namespace quorvel::app
