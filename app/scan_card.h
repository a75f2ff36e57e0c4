#pragma once
// One cell of the library grid, painted by a delegate so that the grid holds
// no widget per item: the thumbnail with its badges, the display title and a
// one- or two-line subtitle whose search hits are set in bold. Hover shows a
// stronger border and shadow. GUI thread only.
#include <optional>
#include <vector>

#include <QCache>
#include <QPixmap>
#include <QString>
#include <QStyledItemDelegate>

#include "core/models.h"

namespace quorvel::app {

namespace ScanCard {

// One piece of a subtitle: plain text or a search hit (bold, primary colour).
struct Run {
  QString text;
  bool hit = false;
  bool operator==(const Run&) const = default;
};

// Splits a text in which each hit is enclosed in "[" and "]" into runs, the
// brackets removed. The first "]" after a "[" closes it (no nesting); an
// unmatched "[" and all after it stay as they are; an empty pair vanishes.
std::vector<Run> highlighted(const QString& text);

// The badges over the picture's top-right corner, in order: waiting to be
// read, or its reading failed (a file that cannot be opened, say); then the
// favourite's star.
enum class Badge { waiting, failed, favorite };
std::vector<Badge> badges(const ArchiveItem& item);
// The tooltip of a badge: "Waiting to be read", "Couldn't be read"; none for the star.
QString badgeHelp(Badge badge);

// The accessible text: the display title, ", " and the subtitle without brackets.
QString accessibleText(const ArchiveItem& item, const QString& subtitle);

// Picture height and the text area's minimum height.
constexpr int kPictureHeight = 150;
constexpr int kTextMinHeight = 58;
// The card's full height for the given application font.
int cardHeight(const QFont& font);

}  // namespace ScanCard

// Paints the cards. The model gives each row its ArchiveItem through
// ScanCardDelegate::kItemRole (a pointer, valid during the paint) and its
// subtitle through Qt::DisplayRole. A card fills its cell of the view's grid,
// inset by kInset, so neighbouring cards are 2 × kInset apart.
class ScanCardDelegate : public QStyledItemDelegate {
  Q_OBJECT

 public:
  static constexpr int kItemRole = Qt::UserRole + 1;
  static constexpr int kInset = 8;

  // The card within its cell.
  static QRect cardRect(const QRect& cell) { return cell.adjusted(kInset, kInset, -kInset, -kInset); }

  explicit ScanCardDelegate(QObject* parent = nullptr);
  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                 const QModelIndex& index) override;

 signals:
  // A thumbnail the grid shows was decoded: repaint.
  void thumbnailArrived();

 private:
  QRect badgeRect(const QRect& card, const ArchiveItem& item) const;
  void paintPicture(QPainter& painter, const QRect& picture, const ArchiveItem& item) const;
  void paintBadges(QPainter& painter, const QRect& card, const ArchiveItem& item) const;
  void paintSubtitle(QPainter& painter, const QRect& rect, const QString& subtitle, const QFont& font,
                     const QColor& plain, const QColor& strong) const;
  // Thumbnails scaled to the card, by path and size; a small set, rebuilt as the grid scrolls.
  mutable QCache<QString, QPixmap> scaled_{256};
  // The cards' frames by size and hover state.
  mutable QCache<QString, QPixmap> frames_{16};
};

}  // namespace quorvel::app
