// The little of an application frame the engine needs: components owned by a
// form, a Loaded step after the stored settings are applied, and the form's
// creation event, after which the engine serves the request.
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TComponent {
public:
    explicit TComponent(TComponent* owner);
    virtual ~TComponent();
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    TComponent* Owner() const { return owner_; }
    // Called once the stored settings have been applied.
    virtual void Loaded() {}
    // Owned components are destroyed with their owner, the last created first.
    void InsertComponent(TComponent* child);
    void RemoveComponent(TComponent* child);

private:
    TComponent* owner_;
    std::vector<TComponent*> components_;
};

using TNotifyEvent = std::function<void(TComponent* sender)>;

// A form or data module: owns components and has a creation event that fires
// when its creation, components included, is complete.
class TForm : public TComponent {
public:
    TForm() : TComponent(nullptr) {}
    TNotifyEvent OnCreate;
    // Called by the concrete form at the end of its construction.
    void DoCreate() {
        if (OnCreate) OnCreate(this);
    }
};
