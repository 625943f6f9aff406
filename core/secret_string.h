// Text that holds a secret, such as a password typed into a dialog. Every byte it ever
// held is wiped before its storage goes back to the allocator: on clear, on growth, on
// assignment and on destruction, so a password does not linger in freed memory.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class SecretString {
  public:
    SecretString() = default;
    // A copy of `text`.
    explicit SecretString(std::string_view text) { assign(text); }
    SecretString(const SecretString& other) { assign(other.view()); }
    SecretString& operator=(const SecretString& other);
    // The source is left empty.
    SecretString(SecretString&& other) noexcept : bytes_(std::move(other.bytes_)) {
        other.bytes_.clear();
    }
    SecretString& operator=(SecretString&& other) noexcept;
    ~SecretString() { clear(); }

    // Replaces the content by a copy of `text` (the old content is wiped).
    void assign(std::string_view text);
    // Appends `text`.
    void append(std::string_view text);
    // Removes the last `count` bytes (all when there are fewer), wiping them.
    void eraseTail(size_t count);
    // Wipes the content; the string is empty afterwards.
    void clear();

    std::string_view view() const {
        return bytes_.empty() ? std::string_view() : std::string_view(bytes_.data(), size());
    }
    // The content followed by a zero byte; valid until the next change.
    const char* c_str() const { return bytes_.empty() ? "" : bytes_.data(); }
    size_t size() const { return bytes_.empty() ? 0 : bytes_.size() - 1; }
    bool empty() const { return size() == 0; }

    friend bool operator==(const SecretString& a, const SecretString& b) {
        return a.view() == b.view();
    }

  private:
    // Wipes every block it hands back, whatever the container does with it.
    template <class T>
    struct WipingAllocator {
        using value_type = T;
        WipingAllocator() = default;
        template <class U>
        WipingAllocator(const WipingAllocator<U>&) {}
        T* allocate(size_t n) { return std::allocator<T>().allocate(n); }
        void deallocate(T* p, size_t n);
        friend bool operator==(const WipingAllocator&, const WipingAllocator&) { return true; }
    };

    // The content and a terminating zero, or nothing at all.
    std::vector<char, WipingAllocator<char>> bytes_;
};

// The text in the process's ANSI code page as a secret; the conversion's own copy is
// wiped.
SecretString secretToAnsi(std::u16string_view text);
