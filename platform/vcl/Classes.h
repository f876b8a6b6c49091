// The component model: objects, notify events, components with an owner that frees what it owns.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace vcl {

class TObject {
  public:
    virtual ~TObject() = default;
};

using TNotifyEvent = std::function<void(TObject* Sender)>;

// Component state flags.
enum : unsigned { csLoading = 1u, csDesigning = 2u, csDestroying = 4u };

enum TOperation { opInsert, opRemove };

class TComponent : public TObject {
  public:
    explicit TComponent(TComponent* AOwner);
    ~TComponent() override;
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    TComponent* Owner() const { return FOwner; }
    const std::string& Name() const { return FName; }
    void SetName(const std::string& name) { FName = name; }
    unsigned ComponentState() const { return FComponentState; }
    int ComponentCount() const { return static_cast<int>(FComponents.size()); }
    TComponent* Components(int index) const { return FComponents.at(static_cast<std::size_t>(index)); }

    // Stored-layout support: the loader sets csLoading, fills properties, then calls Loaded.
    void BeginLoading() { FComponentState |= csLoading; }
    virtual void Loaded();
    void SetDesigning(bool designing);

  protected:
    // Marks the component as being destroyed; a descendant's destructor calls it first.
    void Destroying() { FComponentState |= csDestroying; }
    // Frees the owned components, last-made first. A descendant whose owned components need parts of it
    // (a form's controls need its window) calls it before it takes those parts down.
    void DestroyComponents();
    // Told when an owned component comes or goes, so that an owner can forget its field for it.
    virtual void Notification(TComponent* AComponent, TOperation Operation);

    // Takes an owned component out of this one's ownership: it is no longer freed with its owner.
    void RemoveComponent(TComponent* c);

  private:
    void InsertComponent(TComponent* c) { FComponents.push_back(c); }

    TComponent* FOwner = nullptr;
    std::string FName;
    unsigned FComponentState = 0;
    std::vector<TComponent*> FComponents;
};

}  // namespace vcl
