#include "app/keepsake_view.h"

#include <QLabel>
#include <QVBoxLayout>

#include "app/app_model.h"

namespace quorvel::app {

KeepsakeView::KeepsakeView(AppModel& model, QWidget* parent) : QDialog(parent), model_(model) {
  setObjectName("keepsakeView");
  setModal(true);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel("Make a Keepsake Book"));
}

}  // namespace quorvel::app
