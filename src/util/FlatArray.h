#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

// A growable array of plain values that grows with realloc. Large blocks live in
// their own mappings, which the C library moves with mremap: growing never holds the
// old and the new block at once and copies nothing, and pages not written yet take no
// memory. A locus's read buffers grow this way to the size of the largest locus.
template <class T>
class FlatArray {
    static_assert(std::is_trivially_copyable_v<T>, "values are moved as bytes");

public:
    FlatArray() = default;
    FlatArray(const FlatArray& other) { append(other.values, other.count); }
    FlatArray& operator=(const FlatArray& other)
    {
        FlatArray copy(other);
        swap(copy);
        return *this;
    }
    FlatArray(FlatArray&& other) noexcept { swap(other); }
    FlatArray& operator=(FlatArray&& other) noexcept
    {
        FlatArray moved(std::move(other));
        swap(moved);
        return *this;
    }
    ~FlatArray() { std::free(values); }

    void swap(FlatArray& other) noexcept
    {
        std::swap(values, other.values);
        std::swap(count, other.count);
        std::swap(room, other.room);
    }

    std::size_t size() const { return count; }
    bool empty() const { return count == 0; }
    std::size_t capacity() const { return room; }
    T* data() { return values; }
    const T* data() const { return values; }
    T& operator[](std::size_t i) { return values[i]; }
    const T& operator[](std::size_t i) const { return values[i]; }
    T* begin() { return values; }
    T* end() { return values + count; }
    const T* begin() const { return values; }
    const T* end() const { return values + count; }

    void push_back(const T& value)
    {
        if (count == room)
            reserve(room < 64 ? 64 : room * 2);
        values[count++] = value;
    }
    void append(const T* first, std::size_t n)
    {
        if (count + n > room)
            reserve(count + n > 2 * room ? count + n : 2 * room);
        if (n > 0)
            std::memcpy(values + count, first, n * sizeof(T));
        count += n;
    }
    // Shrinks or grows the count; new values are left as they are.
    void resize(std::size_t n)
    {
        if (n > room)
            reserve(n);
        count = n;
    }
    void clear() { count = 0; }
    // Keeps the first n values and gives back the room past them; a large block shrinks
    // in place.
    void shrinkTo(std::size_t n)
    {
        if (n >= room)
            return;
        count = std::min(count, n);
        if (n == 0) {
            release();
            return;
        }
        if (void* shrunk = std::realloc(values, n * sizeof(T))) {
            values = static_cast<T*>(shrunk);
            room = n;
        }
    }
    // Gives the memory back.
    void release()
    {
        FlatArray empty;
        swap(empty);
    }

    void reserve(std::size_t n)
    {
        if (n <= room)
            return;
        if (n > static_cast<std::size_t>(-1) / sizeof(T))
            throw std::bad_alloc();
        void* grown = std::realloc(values, n * sizeof(T));
        if (grown == nullptr)
            throw std::bad_alloc();
        values = static_cast<T*>(grown);
        room = n;
    }

private:
    T* values = nullptr;
    std::size_t count = 0;
    std::size_t room = 0;
};
