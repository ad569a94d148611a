#pragma once

#include <cstddef>
#include <iterator>
#include <list>
#include <memory>
#include <type_traits>

namespace korvane {

// A doubly linked list of elements with a cursor, in two kinds: PointerList holds plain
// pointers and never destroys what they point to; OwningPointerList owns its elements, so
// removing one or clearing the list destroys them. Null elements are never stored.
//
// The cursor walks from the front. NextInWalk returns the element under the cursor and moves
// the cursor past it first, so the element just returned may be removed (or destroyed) while
// the walk goes on; removing the node under the cursor moves the cursor to the next node.
template <typename T, typename Holder>
class BasicPointerList {
    using Nodes = std::list<Holder>;

  public:
    // Where a node sits, for removing it later without a search. It stays valid until that
    // node is removed.
    using Position = typename Nodes::iterator;

    BasicPointerList() = default;
    virtual ~BasicPointerList() = default;
    BasicPointerList(const BasicPointerList&) = delete;
    BasicPointerList& operator=(const BasicPointerList&) = delete;

    size_t count() const { return nodes_.size(); }
    bool empty() const { return nodes_.empty(); }

    // Adds at the front; a null element is ignored. Returns the element.
    T* AddFront(Holder element) {
        if (element == nullptr) {
            return nullptr;
        }
        nodes_.push_front(std::move(element));
        return Get(nodes_.front());
    }

    // Adds a non-null element at the front and tells where its node sits.
    Position AddFrontAt(Holder element) {
        nodes_.push_front(std::move(element));
        return nodes_.begin();
    }
    // Where the front node sits; the list must not be empty.
    Position Begin() { return nodes_.begin(); }
    // Takes out the node at `position`; an owning list destroys the element.
    void RemoveAt(Position position) { Erase(position); }
    // Moves the node at `position`, element and all, to the front of `other` without allocating
    // or destroying anything; the position stays valid and now lies in `other`.
    void MoveToFrontOf(Position position, BasicPointerList& other) {
        if (cursor_ == position) {
            ++cursor_;
        }
        other.nodes_.splice(other.nodes_.begin(), nodes_, position);
    }

    // Takes out the first node (from the front) holding `element`; false when there is none.
    // An owning list destroys the element.
    bool Remove(const T* element) {
        for (auto it = nodes_.begin(); it != nodes_.end(); ++it) {
            if (Get(*it) == element) {
                Erase(it);
                return true;
            }
        }
        return false;
    }

    // Takes out the first node (from the front) holding `element` and hands the element over
    // without destroying it; null when there is none.
    Holder Take(const T* element) {
        for (auto it = nodes_.begin(); it != nodes_.end(); ++it) {
            if (Get(*it) == element) {
                Holder taken = std::move(*it);
                Erase(it);
                return taken;
            }
        }
        return nullptr;
    }

    // Takes out the front node and hands its element over; null when the list is empty.
    Holder RemoveFront() {
        if (nodes_.empty()) {
            return nullptr;
        }
        Holder element = std::move(nodes_.front());
        Erase(nodes_.begin());
        return element;
    }
    // Takes out the back node (the oldest added) and hands its element over; null when empty.
    Holder RemoveBack() {
        if (nodes_.empty()) {
            return nullptr;
        }
        Holder element = std::move(nodes_.back());
        Erase(std::prev(nodes_.end()));
        return element;
    }

    T* Front() const { return nodes_.empty() ? nullptr : Get(nodes_.front()); }

    // Removes every node; an owning list destroys every element.
    void Clear() {
        nodes_.clear();
        cursor_ = nodes_.end();
    }

    // Puts the cursor on the front node.
    void StartWalk() { cursor_ = nodes_.begin(); }
    // The element under the cursor, the cursor moved to the next node; null at the end.
    T* NextInWalk() {
        if (cursor_ == nodes_.end()) {
            return nullptr;
        }
        T* element = Get(*cursor_);
        ++cursor_;
        return element;
    }

    // The first element from the front for which `matches` holds, or null.
    template <typename Match>
    T* FindFirst(Match&& matches) const {
        for (const Holder& node : nodes_) {
            if (matches(*Get(node))) {
                return Get(node);
            }
        }
        return nullptr;
    }

    // Plain iteration over the elements, front to back, for readers that do not remove.
    template <typename Visit>
    void ForEach(Visit&& visit) const {
        for (const Holder& node : nodes_) {
            visit(*Get(node));
        }
    }

  private:
    static T* Get(const Holder& holder) {
        if constexpr (std::is_pointer_v<Holder>) {
            return holder;
        } else {
            return holder.get();
        }
    }
    void Erase(typename Nodes::iterator it) {
        if (cursor_ == it) {
            ++cursor_;
        }
        nodes_.erase(it);
    }

    Nodes nodes_;
    typename Nodes::iterator cursor_ = nodes_.end();
};

template <typename T>
using PointerList = BasicPointerList<T, T*>;

template <typename T>
using OwningPointerList = BasicPointerList<T, std::unique_ptr<T>>;

}  // namespace korvane
