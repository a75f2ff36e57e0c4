#include "app/ask_view.h"

#include <QLabel>
#include <QVBoxLayout>

#include "app/app_model.h"

namespace quorvel::app {

AskView::AskView(AppModel& model, QWidget* parent) : QWidget(parent), model_(model) {
  setObjectName("askView");
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel("Ask Your Letters"));
  layout->addStretch();
}

}  // namespace quorvel::app
