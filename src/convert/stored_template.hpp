// The document templates of formats.hpp as the renderer stores them: cut at compile time into
// the literal pieces around their slots ("{name}"), with every "\n" already turned into the
// document line end. The renderer copies the pieces and fills each slot itself, by name.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "formats/formats.hpp"

namespace tbl2tblx {

inline constexpr std::size_t kMaxTemplateSlots = 7;

template <std::size_t Length>
struct StoredTemplate {
  std::array<char, Length> text{};
  std::array<std::size_t, kMaxTemplateSlots + 2> bounds{};  // piece i: [bounds[i], bounds[i+1])
  std::array<std::string_view, kMaxTemplateSlots> slots{};  // slot i follows piece i
  std::size_t slot_count = 0;

  constexpr std::string_view piece(std::size_t i) const {
    return {text.data() + bounds[i], bounds[i + 1] - bounds[i]};
  }

  // The index of the slot `name`; a name the template lacks does not compile.
  consteval std::size_t slot(std::string_view name) const {
    for (std::size_t i = 0; i < slot_count; ++i) {
      if (slots[i] == name) return i;
    }
    throw "the template has no such slot";
  }

  // The literal text just before the slot `name`, and just after it.
  consteval std::string_view before(std::string_view name) const { return piece(slot(name)); }
  consteval std::string_view after(std::string_view name) const { return piece(slot(name) + 1); }

  // The whole text of a template without slots.
  consteval std::string_view whole() const {
    if (slot_count != 0) throw "the template has slots";
    return piece(0);
  }
};

// The length of the slot "{name}" that starts at source[open].
constexpr std::size_t slot_length(std::string_view source, std::size_t open) {
  const std::size_t close = source.find('}', open);
  if (close == std::string_view::npos) throw "a slot is not closed";
  return close + 1 - open;
}

constexpr std::size_t stored_length(std::string_view source) {
  std::size_t length = 0;
  for (std::size_t i = 0; i < source.size(); ++i) {
    if (source[i] == '{') {
      i += slot_length(source, i) - 1;
    } else {
      length += source[i] == '\n' ? kDocumentLineEnd.size() : 1;
    }
  }
  return length;
}

template <std::size_t Length>
consteval StoredTemplate<Length> store_template(std::string_view source) {
  StoredTemplate<Length> stored;
  std::size_t length = 0;
  for (std::size_t i = 0; i < source.size(); ++i) {
    if (source[i] == '{') {
      if (stored.slot_count == kMaxTemplateSlots) throw "too many slots";
      const std::size_t n = slot_length(source, i);
      stored.slots[stored.slot_count] = source.substr(i + 1, n - 2);
      stored.bounds[++stored.slot_count] = length;
      i += n - 1;
    } else if (source[i] == '\n') {
      for (char c : kDocumentLineEnd)
        stored.text[length++] = c;
    } else {
      stored.text[length++] = source[i];
    }
  }
  stored.bounds[stored.slot_count + 1] = length;
  return stored;
}

template <const char* const& Source>
constexpr auto kStored = store_template<stored_length(Source)>(Source);

}  // namespace tbl2tblx
