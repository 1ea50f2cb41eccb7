#include "PropertyList.hpp"

#include "Files.hpp"

#include <cmath>
#include <cstdlib>
#include <memory>

#include <plist/plist.h>

namespace AppleSim::PropertyList {

using nlohmann::json;

namespace {

// libplist counts dates from 2001-01-01, as Foundation does.
constexpr double appleEpoch = 978307200.0;

struct NodeDeleter {
    void operator()(plist_t node) const { plist_free(node); }
};
using Node = std::unique_ptr<void, NodeDeleter>;

json toJSON(plist_t node) {
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t value = 0;
        plist_get_bool_val(node, &value);
        return value != 0;
    }
    case PLIST_UINT: {
        uint64_t value = 0;
        plist_get_uint_val(node, &value);
        return value;
    }
    case PLIST_REAL: {
        double value = 0;
        plist_get_real_val(node, &value);
        return value;
    }
    case PLIST_STRING: {
        char* value = nullptr;
        plist_get_string_val(node, &value);
        std::string text = value ? value : "";
        std::free(value);
        return text;
    }
    case PLIST_DATA: {
        char* value = nullptr;
        uint64_t length = 0;
        plist_get_data_val(node, &value, &length);
        std::string bytes(value ? value : "", static_cast<std::size_t>(length));
        std::free(value);
        return PropertyList::data(bytes); // qualified: std::data would win by argument lookup
    }
    case PLIST_DATE: {
        int32_t seconds = 0;
        int32_t microseconds = 0;
        plist_get_date_val(node, &seconds, &microseconds);
        return date(seconds + microseconds / 1e6 + appleEpoch);
    }
    case PLIST_ARRAY: {
        json array = json::array();
        for (uint32_t index = 0; index < plist_array_get_size(node); ++index) {
            array.push_back(toJSON(plist_array_get_item(node, index)));
        }
        return array;
    }
    case PLIST_DICT: {
        json dictionary = json::object();
        plist_dict_iter iterator = nullptr;
        plist_dict_new_iter(node, &iterator);
        for (;;) {
            char* key = nullptr;
            plist_t value = nullptr;
            plist_dict_next_item(node, iterator, &key, &value);
            if (!key) {
                break;
            }
            dictionary[key] = toJSON(value);
            std::free(key);
        }
        std::free(iterator);
        return dictionary;
    }
    default:
        return nullptr;
    }
}

plist_t fromJSON(const json& value) {
    if (value.is_object()) {
        if (std::optional<double> seconds = dateSeconds(value)) {
            double since = *seconds - appleEpoch;
            double whole = std::floor(since);
            return plist_new_date(static_cast<int32_t>(whole),
                                  static_cast<int32_t>((since - whole) * 1e6));
        }
        plist_t dictionary = plist_new_dict();
        for (const auto& [key, member] : value.items()) {
            plist_dict_set_item(dictionary, key.c_str(), fromJSON(member));
        }
        return dictionary;
    }
    if (value.is_array()) {
        plist_t array = plist_new_array();
        for (const json& element : value) {
            plist_array_append_item(array, fromJSON(element));
        }
        return array;
    }
    if (value.is_binary()) {
        const auto& bytes = value.get_binary();
        return plist_new_data(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
    if (value.is_boolean()) {
        return plist_new_bool(value.get<bool>() ? 1 : 0);
    }
    if (value.is_number_float()) {
        return plist_new_real(value.get<double>());
    }
    if (value.is_number_integer()) {
        return plist_new_uint(static_cast<uint64_t>(value.get<std::int64_t>()));
    }
    if (value.is_string()) {
        return plist_new_string(value.get<std::string>().c_str());
    }
    return plist_new_string("");
}

} // namespace

json parse(std::string_view bytes) {
    plist_t node = nullptr;
    if (bytes.substr(0, 6) == "bplist") {
        plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &node);
    } else if (bytes.find("<plist") != std::string_view::npos) {
        plist_from_xml(bytes.data(), static_cast<uint32_t>(bytes.size()), &node);
    }
    if (!node) {
        throw Error("not a property list");
    }
    Node owner(node);
    return toJSON(node);
}

json read(const std::string& path) {
    std::string bytes;
    try {
        bytes = readFile(path);
    } catch (const std::system_error& error) {
        throw Error(error.what());
    }
    try {
        return parse(bytes);
    } catch (const Error&) {
        throw Error(path + " is not a property list");
    }
}

std::string xml(const json& value) {
    Node node(fromJSON(value));
    char* text = nullptr;
    uint32_t length = 0;
    plist_to_xml(node.get(), &text, &length);
    std::string result(text ? text : "", length);
    std::free(text);
    return result;
}

std::string binary(const json& value) {
    Node node(fromJSON(value));
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(node.get(), &bytes, &length);
    std::string result(bytes ? bytes : "", length);
    std::free(bytes);
    return result;
}

json date(double seconds) {
    return {{"$date", seconds}};
}

std::optional<double> dateSeconds(const json& value) {
    if (value.is_object() && value.size() == 1 && value.contains("$date") &&
        value["$date"].is_number()) {
        return value["$date"].get<double>();
    }
    return std::nullopt;
}

json data(std::string_view bytes) {
    return json::binary(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
}

std::optional<std::string> dataBytes(const json& value) {
    if (!value.is_binary()) {
        return std::nullopt;
    }
    const auto& bytes = value.get_binary();
    return std::string(bytes.begin(), bytes.end());
}

std::string text(const json& dictionary, const std::string& key, const std::string& fallback) {
    if (dictionary.is_object() && dictionary.contains(key) && dictionary[key].is_string()) {
        return dictionary[key].get<std::string>();
    }
    return fallback;
}

} // namespace AppleSim::PropertyList
