#include "core/secret_string.h"

#include <openssl/crypto.h>

#include "platform/text/codepage.h"

template <class T>
void SecretString::WipingAllocator<T>::deallocate(T* p, size_t n) {
    OPENSSL_cleanse(p, n * sizeof(T));
    std::allocator<T>().deallocate(p, n);
}

template struct SecretString::WipingAllocator<char>;

SecretString& SecretString::operator=(const SecretString& other) {
    if (this != &other) assign(other.view());
    return *this;
}

SecretString& SecretString::operator=(SecretString&& other) noexcept {
    if (this != &other) {
        clear();
        bytes_ = std::move(other.bytes_);
        other.bytes_.clear();
    }
    return *this;
}

void SecretString::assign(std::string_view text) {
    clear();
    append(text);
}

void SecretString::append(std::string_view text) {
    if (text.empty()) return;
    // Growth moves the content to a new block; the allocator wipes the old one.
    if (bytes_.empty()) bytes_.push_back('\0');
    bytes_.insert(bytes_.end() - 1, text.begin(), text.end());
}

void SecretString::eraseTail(size_t count) {
    size_t keep = count >= size() ? 0 : size() - count;
    if (keep == 0) {
        clear();
        return;
    }
    OPENSSL_cleanse(bytes_.data() + keep, bytes_.size() - keep);
    bytes_.resize(keep + 1);
}

void SecretString::clear() {
    if (!bytes_.empty()) OPENSSL_cleanse(bytes_.data(), bytes_.size());
    bytes_.clear();
}

SecretString secretToAnsi(std::u16string_view text) {
    std::string ansi = toAnsi(text);
    SecretString secret(ansi);
    OPENSSL_cleanse(ansi.data(), ansi.size());
    return secret;
}
