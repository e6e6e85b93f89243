#include "components/LedraComponent.h"

#include <algorithm>

namespace ledra {

TLedraComponent::TLedraComponent(TLedraComponent* owner) : owner_(owner) {
  if (owner_ != nullptr) owner_->components_.push_back(this);
}

TLedraComponent::~TLedraComponent() {
  for (TLedraComponent* component : components_) component->owner_ = nullptr;
  if (owner_ != nullptr) {
    auto& list = owner_->components_;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
  }
}

}  // namespace ledra
