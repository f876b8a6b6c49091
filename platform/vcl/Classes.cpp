#include "platform/vcl/Classes.h"

#include <algorithm>

namespace vcl {

TComponent::TComponent(TComponent* AOwner) : FOwner(AOwner) {
    if (FOwner) {
        FOwner->InsertComponent(this);
        // A component placed on a form being designed is being designed too.
        FComponentState |= FOwner->FComponentState & csDesigning;
    }
}

TComponent::~TComponent() {
    Destroying();
    DestroyComponents();
    if (FOwner) FOwner->RemoveComponent(this);
}

void TComponent::Loaded() { FComponentState &= ~csLoading; }

void TComponent::SetDesigning(bool designing) {
    if (designing)
        FComponentState |= csDesigning;
    else
        FComponentState &= ~csDesigning;
}

void TComponent::Notification(TComponent*, TOperation) {}

void TComponent::RemoveComponent(TComponent* c) {
    auto it = std::find(FComponents.begin(), FComponents.end(), c);
    if (it == FComponents.end()) return;
    FComponents.erase(it);
    c->FOwner = nullptr;
    Notification(c, opRemove);
}

// Owned components go last-made first; each one's destructor takes it out of the list.
void TComponent::DestroyComponents() {
    while (!FComponents.empty()) {
        TComponent* c = FComponents.back();
        c->FOwner = nullptr;
        FComponents.pop_back();
        Notification(c, opRemove);
        delete c;
    }
}

}  // namespace vcl
