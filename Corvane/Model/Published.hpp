// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <memory>
#include <utility>

namespace corvane {

// Told whenever a published field changes.
class PublishedFieldOwner {
public:
    virtual void publishedFieldChanged() = 0;

protected:
    ~PublishedFieldOwner() = default;
};

// A field whose every change is published to the model's observers.
template <class T>
class Published {
public:
    explicit Published(PublishedFieldOwner& owner, T initial = T{}) : owner_(owner), value_(std::move(initial)) {}
    Published(const Published&) = delete;
    Published& operator=(const Published&) = delete;

    const T& get() const noexcept { return value_; }
    operator const T&() const noexcept { return value_; }
    const T* operator->() const noexcept { return &value_; }
    const T& operator*() const noexcept { return value_; }

    Published& operator=(T value) {
        if (!(value_ == value)) {
            value_ = std::move(value);
            owner_.publishedFieldChanged();
        }
        return *this;
    }

private:
    PublishedFieldOwner& owner_;
    T value_;
};

// A published collection. Snapshots share it until it changes, so publishing
// does not copy a long server or log list.
template <class T>
class PublishedShared {
public:
    explicit PublishedShared(PublishedFieldOwner& owner, T initial = T{})
        : owner_(owner), value_(std::make_shared<const T>(std::move(initial))) {}
    PublishedShared(const PublishedShared&) = delete;
    PublishedShared& operator=(const PublishedShared&) = delete;

    const T& get() const noexcept { return *value_; }
    operator const T&() const noexcept { return *value_; }
    const T* operator->() const noexcept { return value_.get(); }
    const T& operator*() const noexcept { return *value_; }
    const std::shared_ptr<const T>& shared() const noexcept { return value_; }

    // Always counts as a change: comparing long lists costs more than publishing them.
    PublishedShared& operator=(T value) {
        value_ = std::make_shared<const T>(std::move(value));
        owner_.publishedFieldChanged();
        return *this;
    }
    // Changes a copy in place and publishes it.
    template <class Change>
    void modify(Change&& change) {
        auto copy = std::make_shared<T>(*value_);
        std::forward<Change>(change)(*copy);
        value_ = std::move(copy);
        owner_.publishedFieldChanged();
    }

private:
    PublishedFieldOwner& owner_;
    std::shared_ptr<const T> value_;
};

}  // namespace corvane
