#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/classes.h"

namespace {

// Records notifications and its own end in a shared log.
class TProbe : public TComponent {
 public:
  TProbe(TComponent* owner, std::string name, std::vector<std::string>* log)
      : TComponent(owner), log_(log) {
    Name = std::move(name);
  }
  ~TProbe() override {
    log_->push_back("~" + Name);
    if (onDestroy) onDestroy();
  }
  std::function<void()> onDestroy;
  std::function<void(TComponent*, TOperation)> onNotify;

 protected:
  void Notification(TComponent* component, TOperation operation) override {
    log_->push_back(Name + (operation == TOperation::opInsert ? " +" : " -") + component->Name);
    if (onNotify) onNotify(component, operation);
    TComponent::Notification(component, operation);
  }

 private:
  std::vector<std::string>* log_;
};

using Log = std::vector<std::string>;

TEST(Components, OwnerDestroysItsComponentsLastCreatedFirst) {
  Log log;
  auto* owner = new TProbe(nullptr, "owner", &log);
  new TProbe(owner, "a", &log);
  auto* b = new TProbe(owner, "b", &log);
  new TProbe(b, "b1", &log);
  new TProbe(owner, "c", &log);
  EXPECT_EQ(owner->ComponentCount(), 3);
  EXPECT_EQ(owner->Components(1), b);
  EXPECT_EQ(b->Owner(), owner);
  log.clear();
  delete owner;
  // Nobody hears of components the owner destroys itself.
  EXPECT_EQ(log, (Log{"~owner", "~c", "~b", "~b1", "~a"}));
}

TEST(Components, InsertionIsAnnouncedToTheOwnerAndEveryComponent) {
  Log log;
  TProbe owner(nullptr, "owner", &log);
  new TProbe(&owner, "a", &log);
  log.clear();
  new TProbe(&owner, "b", &log);
  // The newcomer is announced from its base constructor: it has no name yet, and it
  // hears of itself only through the base.
  EXPECT_EQ(log, (Log{"owner +", "a +"}));
}

TEST(Components, OneDestroyedAloneLeavesItsOwnerAndTellsTheOthers) {
  Log log;
  auto* owner = new TProbe(nullptr, "owner", &log);
  auto* a = new TProbe(owner, "a", &log);
  auto* b = new TProbe(owner, "b", &log);
  new TProbe(owner, "c", &log);
  log.clear();
  delete b;
  EXPECT_EQ(owner->ComponentCount(), 2);
  EXPECT_EQ(owner->Components(0), a);
  EXPECT_EQ(owner->Components(1)->Name, "c");
  EXPECT_EQ(log, (Log{"~b", "owner -b", "c -b", "a -b"}));
  log.clear();
  delete owner;  // must not touch b again
  EXPECT_EQ(log, (Log{"~owner", "~c", "~a"}));
}

TEST(Components, MovingToAnotherOwnerLeavesTheFirst) {
  Log log;
  auto* first = new TProbe(nullptr, "first", &log);
  TProbe second(nullptr, "second", &log);
  auto* a = new TProbe(first, "a", &log);
  second.InsertComponent(a);
  EXPECT_EQ(a->Owner(), &second);
  EXPECT_EQ(first->ComponentCount(), 0);
  EXPECT_EQ(second.ComponentCount(), 1);
  second.InsertComponent(a);  // already there: no duplicate
  EXPECT_EQ(second.ComponentCount(), 1);
  delete first;  // a lives on with its new owner
  EXPECT_EQ(a->Owner(), &second);
  second.RemoveComponent(a);
  EXPECT_EQ(a->Owner(), nullptr);
  EXPECT_EQ(second.ComponentCount(), 0);
  delete a;
}

TEST(Components, OwnershipCannotFormACycle) {
  Log log;
  TProbe root(nullptr, "root", &log);
  auto* child = new TProbe(&root, "child", &log);
  auto* grandchild = new TProbe(child, "grandchild", &log);
  EXPECT_THROW(grandchild->InsertComponent(&root), EInvalidOperation);
  EXPECT_THROW(child->InsertComponent(child), EInvalidOperation);
  EXPECT_EQ(root.Owner(), nullptr);
  EXPECT_EQ(child->ComponentCount(), 1);
  root.InsertComponent(nullptr);
  EXPECT_EQ(root.ComponentCount(), 1);
  EXPECT_THROW(root.Components(5), std::out_of_range);
}

TEST(Components, DestroyingASiblingFromADestructorIsSafe) {
  Log log;
  auto* owner = new TProbe(nullptr, "owner", &log);
  auto* a = new TProbe(owner, "a", &log);
  auto* b = new TProbe(owner, "b", &log);
  b->onDestroy = [a] { delete a; };  // b goes first and takes a with it
  new TProbe(owner, "c", &log);
  log.clear();
  delete owner;
  // The owner is past its own destructor body: only the base hears of a.
  EXPECT_EQ(log, (Log{"~owner", "~c", "~b", "~a"}));
}

TEST(Components, ANotificationHandlerMayDestroyOtherComponents) {
  Log log;
  TProbe owner(nullptr, "owner", &log);
  auto* a = new TProbe(&owner, "a", &log);
  auto* b = new TProbe(&owner, "b", &log);
  auto* c = new TProbe(&owner, "c", &log);
  TProbe* victim = a;
  // c hears first (the list is walked from the end) and destroys a and b.
  c->onNotify = [&](TComponent*, TOperation op) {
    if (op == TOperation::opInsert && victim != nullptr) {
      TProbe* v = victim;
      victim = nullptr;
      delete b;
      delete v;
    }
  };
  log.clear();
  new TProbe(&owner, "d", &log);
  EXPECT_EQ(owner.ComponentCount(), 2);
  EXPECT_EQ(owner.Components(0), c);
  // c heard of d once; a and b, gone by their turn, were skipped.
  EXPECT_EQ(std::count(log.begin(), log.end(), "c +"), 1);
  EXPECT_EQ(std::count(log.begin(), log.end(), "a +"), 0);
  EXPECT_EQ(std::count(log.begin(), log.end(), "b +"), 0);
}

}  // namespace
