#pragma once

#include <cstddef>

namespace korvane {

// The links an element carries to sit in one IntrusiveQueue at a time.
template <typename T>
struct QueueLink {
    T* previous = nullptr;
    T* next = nullptr;
    const void* queue = nullptr;  // the queue the element is in, null when in none
};

// A doubly linked queue threaded through its elements (through the member `Link`), so that
// adding, moving and removing an element never allocates and takes constant time. The queue
// neither owns nor destroys its elements; an element must leave it before it is destroyed.
template <typename T, QueueLink<T> T::*Link>
class IntrusiveQueue {
  public:
    IntrusiveQueue() = default;
    IntrusiveQueue(const IntrusiveQueue&) = delete;
    IntrusiveQueue& operator=(const IntrusiveQueue&) = delete;

    bool Contains(const T& element) const { return (element.*Link).queue == this; }
    size_t size() const { return size_; }
    T* Front() const { return front_; }
    T* Back() const { return back_; }
    // The element behind `element`, towards the front; null at the front.
    static T* Previous(const T& element) { return (element.*Link).previous; }

    // Puts the element at the front, taking it out of this queue first if it is in it. It
    // must not be in another queue on the same link.
    void MoveToFront(T& element) {
        if (Contains(element)) {
            if (front_ == &element) {
                return;
            }
            Remove(element);
        }
        QueueLink<T>& link = element.*Link;
        link.previous = nullptr;
        link.next = front_;
        link.queue = this;
        if (front_ != nullptr) {
            (front_->*Link).previous = &element;
        } else {
            back_ = &element;
        }
        front_ = &element;
        ++size_;
    }

    // Takes the element out; nothing happens when it is not in this queue.
    void Remove(T& element) {
        QueueLink<T>& link = element.*Link;
        if (link.queue != this) {
            return;
        }
        (link.previous != nullptr ? (link.previous->*Link).next : front_) = link.next;
        (link.next != nullptr ? (link.next->*Link).previous : back_) = link.previous;
        link = QueueLink<T>{};
        --size_;
    }

  private:
    T* front_ = nullptr;
    T* back_ = nullptr;
    size_t size_ = 0;
};

}  // namespace korvane
