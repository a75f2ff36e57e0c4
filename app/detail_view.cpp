#include "app/detail_view.h"

#include <QLabel>
#include <QVBoxLayout>

#include "app/app_model.h"

namespace quorvel::app {

DetailView::DetailView(AppModel& model, std::int64_t itemId, QWidget* parent)
    : QWidget(parent), model_(model), itemId_(itemId) {
  setObjectName("detailView");
  auto* layout = new QVBoxLayout(this);
  auto item = model_.catalog().getItem(itemId_);
  layout->addWidget(new QLabel(item ? QString::fromStdString(item->displayTitle()) : QString()));
}

DetailView::~DetailView() = default;

void DetailView::saveNow() {}

}  // namespace quorvel::app
