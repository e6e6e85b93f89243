// The root of the layer's objects: a name and an owner.
//
// Owners group components: the datasets and databases that share an owner
// with an automatic session take that session's name. An owner does not free
// what it lists; ownership of memory is explicit (the session list owns the
// sessions, a session its temporary databases, the program everything else).
// A component leaves its owner's list when it is destroyed, and an owner that
// goes first lets its components forget it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ledra {

class TLedraComponent {
 public:
  explicit TLedraComponent(TLedraComponent* owner = nullptr);
  virtual ~TLedraComponent();
  TLedraComponent(const TLedraComponent&) = delete;
  TLedraComponent& operator=(const TLedraComponent&) = delete;

  const std::string& Name() const { return name_; }
  void SetName(std::string_view name) { name_ = std::string(name); }
  TLedraComponent* Owner() const { return owner_; }
  // The components this one owns, in the order they were made.
  const std::vector<TLedraComponent*>& Components() const { return components_; }

 private:
  std::string name_;
  TLedraComponent* owner_;
  std::vector<TLedraComponent*> components_;
};

}  // namespace ledra
