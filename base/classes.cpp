#include "base/classes.h"

#include <algorithm>

TComponent::TComponent(TComponent* owner) {
  if (owner != nullptr) owner->InsertComponent(this);
}

TComponent::~TComponent() {
  destroying_ = true;
  DestroyComponents();
  if (owner_ != nullptr) owner_->RemoveComponent(this);
}

void TComponent::InsertComponent(TComponent* component) {
  if (component == nullptr || component->owner_ == this) return;
  for (const TComponent* c = this; c != nullptr; c = c->owner_) {
    if (c == component) throw EInvalidOperation("A component cannot own itself or its owner");
  }
  if (component->owner_ != nullptr) component->owner_->RemoveComponent(component);
  components_.push_back(component);
  component->owner_ = this;
  Notification(component, TOperation::opInsert);
}

void TComponent::RemoveComponent(TComponent* component) {
  if (component == nullptr || component->owner_ != this) return;
  for (size_t i = components_.size(); i > 0; --i) {
    if (components_[i - 1] == component) {
      components_.erase(components_.begin() + static_cast<std::ptrdiff_t>(i - 1));
      break;
    }
  }
  component->owner_ = nullptr;
  Notification(component, TOperation::opRemove);
}

void TComponent::Notification(TComponent* component, TOperation operation) {
  // A handler may destroy components of this owner: walk a copy of the list and skip
  // the ones that have left it meanwhile.
  const std::vector<TComponent*> snapshot = components_;
  for (size_t i = snapshot.size(); i > 0; --i) {
    TComponent* c = snapshot[i - 1];
    if (std::find(components_.begin(), components_.end(), c) != components_.end()) {
      c->Notification(component, operation);
    }
  }
}

void TComponent::DestroyComponents() {
  // Taken out of the list before it is destroyed, so it does not remove itself again
  // and its siblings hear nothing of it.
  while (!components_.empty()) {
    TComponent* component = components_.back();
    components_.pop_back();
    component->owner_ = nullptr;
    delete component;
  }
}
