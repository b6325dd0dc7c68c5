#include "platform/plist_value.h"

#include "platform/text.h"

#include <plist/plist.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <memory>

namespace kestralune {

namespace {

struct PlistDeleter {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistNode = std::unique_ptr<void, PlistDeleter>;

struct FreeDeleter {
    void operator()(void* memory) const { std::free(memory); }
};

// Deep property lists are hostile input, not data anyone writes.
constexpr int kMaxDepth = 128;

std::optional<PlistValue> fromNode(plist_t node, int depth) {
    if (depth > kMaxDepth) {
        return std::nullopt;
    }
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            uint8_t value = 0;
            plist_get_bool_val(node, &value);
            return PlistValue(value != 0);
        }
        case PLIST_UINT: {
            uint64_t value = 0;
            plist_get_uint_val(node, &value);
            // libplist keeps integers as 64 raw bits and writes them signed.
            return PlistValue(static_cast<std::int64_t>(value));
        }
        case PLIST_REAL: {
            double value = 0;
            plist_get_real_val(node, &value);
            return PlistValue(value);
        }
        case PLIST_STRING: {
            char* raw = nullptr;
            plist_get_string_val(node, &raw);
            std::unique_ptr<char, FreeDeleter> text(raw);
            return PlistValue(std::string(raw ? raw : ""));
        }
        case PLIST_DATA: {
            char* raw = nullptr;
            uint64_t length = 0;
            plist_get_data_val(node, &raw, &length);
            std::unique_ptr<char, FreeDeleter> bytes(raw);
            const auto* begin = reinterpret_cast<const std::uint8_t*>(raw);
            return PlistValue(PlistValue::Data(begin, begin + (raw ? length : 0)));
        }
        case PLIST_ARRAY: {
            PlistValue::Array array;
            const uint32_t count = plist_array_get_size(node);
            array.reserve(count);
            for (uint32_t i = 0; i < count; ++i) {
                auto item = fromNode(plist_array_get_item(node, i), depth + 1);
                if (!item) {
                    return std::nullopt;
                }
                array.push_back(std::move(*item));
            }
            return PlistValue(std::move(array));
        }
        case PLIST_DICT: {
            PlistValue::Dictionary dictionary;
            plist_dict_iter iterator = nullptr;
            plist_dict_new_iter(node, &iterator);
            std::unique_ptr<void, FreeDeleter> iteratorOwner(iterator);
            while (true) {
                char* rawKey = nullptr;
                plist_t item = nullptr;
                plist_dict_next_item(node, iterator, &rawKey, &item);
                std::unique_ptr<char, FreeDeleter> key(rawKey);
                if (!item || !rawKey) {
                    break;
                }
                auto value = fromNode(item, depth + 1);
                if (!value) {
                    return std::nullopt;
                }
                dictionary.insert_or_assign(std::string(rawKey), std::move(*value));
            }
            return PlistValue(std::move(dictionary));
        }
        default:
            // Dates, UIDs and keys have no place in the values this system stores.
            return std::nullopt;
    }
}

plist_t toNode(const PlistValue& value) {
    return std::visit(
        [](const auto& held) -> plist_t {
            using T = std::decay_t<decltype(held)>;
            if constexpr (std::is_same_v<T, std::string>) {
                return plist_new_string(held.c_str());
            } else if constexpr (std::is_same_v<T, bool>) {
                return plist_new_bool(held ? 1 : 0);
            } else if constexpr (std::is_same_v<T, std::int64_t>) {
                return plist_new_uint(static_cast<uint64_t>(held));
            } else if constexpr (std::is_same_v<T, double>) {
                return plist_new_real(held);
            } else if constexpr (std::is_same_v<T, PlistValue::Data>) {
                return plist_new_data(reinterpret_cast<const char*>(held.data()), held.size());
            } else if constexpr (std::is_same_v<T, PlistValue::Array>) {
                plist_t array = plist_new_array();
                for (const auto& item : held) {
                    plist_array_append_item(array, toNode(item));
                }
                return array;
            } else {
                plist_t dictionary = plist_new_dict();
                for (const auto& [key, item] : held) {
                    plist_dict_set_item(dictionary, key.c_str(), toNode(item));
                }
                return dictionary;
            }
        },
        value.storage());
}

bool isXmlText(const std::string& text) {
    for (std::size_t offset = 0; offset < text.size();) {
        const std::size_t length = utf8SequenceLength(text, offset);
        const auto byte = static_cast<unsigned char>(text[offset]);
        if (length == 0 || (byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r')) {
            return false;
        }
        // U+FFFE and U+FFFF, the only well-formed scalars that XML 1.0 excludes.
        if (length == 3 && text.compare(offset, 2, "\xEF\xBF") == 0 &&
            static_cast<unsigned char>(text[offset + 2]) >= 0xBE) {
            return false;
        }
        offset += length;
    }
    return true;
}

}  // namespace

bool canWriteAsXml(const PlistValue& value) {
    if (const auto* text = value.get<std::string>()) {
        return isXmlText(*text);
    }
    if (const auto* array = value.get<PlistValue::Array>()) {
        return std::all_of(array->begin(), array->end(), canWriteAsXml);
    }
    if (const auto* dictionary = value.get<PlistValue::Dictionary>()) {
        return std::all_of(dictionary->begin(), dictionary->end(), [](const auto& entry) {
            return isXmlText(entry.first) && canWriteAsXml(entry.second);
        });
    }
    return true;
}

std::optional<PlistValue> parsePropertyList(const std::string& bytes) {
    if (bytes.empty() || bytes.size() > std::numeric_limits<uint32_t>::max()) {
        return std::nullopt;
    }
    plist_t raw = nullptr;
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &raw);
    if (!raw) {
        return std::nullopt;
    }
    PlistNode root(raw);
    return fromNode(root.get(), 0);
}

std::optional<std::string> xmlPropertyList(const PlistValue& value) {
    if (!canWriteAsXml(value)) {
        return std::nullopt;
    }
    PlistNode root(toNode(value));
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(root.get(), &xml, &length);
    std::string text(xml ? xml : "", xml ? length : 0);
    plist_to_xml_free(xml);
    return text;
}

}  // namespace kestralune
