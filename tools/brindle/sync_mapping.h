#pragma once

// How `brindle sync` names keys and properties in etcd and what it stores there.
//
// Every key of a synced main key has one etcd key of its own, its marker, and every property
// one more:
//
//     PREFIX/<main>/=                 the main key (value: its flags)
//     PREFIX/<main>/<k1>/.../<kn>/=   the key main\k1\...\kn (value: {})
//     PREFIX/<main>/<k1>/.../=<name>  its property <name> (value: the property as JSON)
//
// Names are escaped so that any byte string survives: '%', '/', '=' and the control bytes
// become %XX. A segment that starts with '=' is therefore always the property part, and "="
// alone (an empty property name, which the library refuses) the marker.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "brindle/dump_document.h"

namespace brindle::tool::sync {

// Escapes one key or property name; Unescape undoes it (nullopt for a malformed escape).
std::string EscapeName(const std::string& name);
std::optional<std::string> UnescapeName(const std::string& text);

// One place in a synced tree: a key (property empty: its marker) or one of its properties.
struct Place {
    std::string main_key;
    std::vector<std::string> path;  // levels below the main key
    std::string property;           // empty: the key's marker

    bool IsMarker() const { return property.empty(); }
    bool IsMainKey() const { return path.empty(); }
    // "App/a/b", the key for messages.
    std::string KeyPath() const;
    // The key path, and "App/a/b n" with the property.
    std::string Describe() const;
};

// Turns places into etcd keys below one prefix and back.
class KeyNaming {
public:
    // `prefix` without a trailing '/' ("/fleet"); may be empty.
    explicit KeyNaming(std::string prefix);

    const std::string& Prefix() const { return prefix_; }
    // The etcd key of `place`.
    std::string KeyOf(const Place& place) const;
    // Where the etcd keys of the key at (main_key, path) and everything below it start
    // ("PREFIX/main/a/"); every one of them begins with it.
    std::string DirectoryOf(const std::string& main_key,
                            const std::vector<std::string>& path) const;
    // The place an etcd key names, or nullopt for a key this mapping never writes.
    std::optional<Place> PlaceOf(const std::string& etcd_key) const;

private:
    std::string prefix_;
};

// The smallest key greater than every key that starts with `prefix` (etcd's range end).
std::string RangeEndOf(const std::string& prefix);

// The etcd values: a property as `brindle dump` writes one, without its name; markers as
// {} and, for a main key, its flags.
std::string PropertyValueText(const PropertyEntry& property);
std::string MarkerValueText(bool main_key, bool hidden, bool read_only);
// Reads a property value back; throws ToolError for text that is not one.
vell::VariableData PropertyValueFrom(const std::string& text, const std::string& where);
// The main key's flags from its marker (false for what is missing or malformed).
void MarkerFlagsFrom(const std::string& text, bool& hidden, bool& read_only);

// A stable 64-bit digest of a value, as the sync remembers what it last saw without keeping
// a second copy of every value.
uint64_t DigestOf(const std::string& text);

}  // namespace brindle::tool::sync
