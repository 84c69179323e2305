#include "app/service/Images/SVGRecolor.h"

#include <algorithm>
#include <charconv>
#include <vector>

namespace Vexelworks {

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool isWordChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// "#" followed by three to six word characters, nothing else.
bool isShortHexLike(std::string_view value) {
  if (value.size() < 4 || value.size() > 7 || value[0] != '#') return false;
  return std::all_of(value.begin() + 1, value.end(), isWordChar);
}

std::string formatOpacity(double value) {
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 4);
  return std::string(buffer, result.ptr);
}

struct Attribute {
  std::size_t begin = 0;  // first character of the name
  std::size_t end = 0;    // one past the value (or the name when there is no value)
  std::string_view name;
  std::string_view value;  // without quotes
  bool quoted = false;
};

// The attributes of a start tag ("<name ...>" or "<name .../>"); none when the tag is not one
// we can take apart safely, and then it is left as it is.
std::optional<std::vector<Attribute>> parseAttributes(std::string_view tag, std::size_t from) {
  std::vector<Attribute> attributes;
  std::size_t i = from;
  const std::size_t n = tag.size();
  while (true) {
    while (i < n && isSpace(tag[i])) ++i;
    if (i >= n) return std::nullopt;
    if (tag[i] == '>' || tag[i] == '/') return attributes;
    Attribute attribute;
    attribute.begin = i;
    while (i < n && !isSpace(tag[i]) && tag[i] != '=' && tag[i] != '>' && tag[i] != '/') ++i;
    attribute.name = tag.substr(attribute.begin, i - attribute.begin);
    if (attribute.name.empty()) return std::nullopt;
    std::size_t j = i;
    while (j < n && isSpace(tag[j])) ++j;
    if (j < n && tag[j] == '=') {
      ++j;
      while (j < n && isSpace(tag[j])) ++j;
      if (j >= n) return std::nullopt;
      if (tag[j] == '"' || tag[j] == '\'') {
        const char quote = tag[j];
        const auto close = tag.find(quote, j + 1);
        if (close == std::string_view::npos) return std::nullopt;
        attribute.value = tag.substr(j + 1, close - j - 1);
        attribute.quoted = true;
        i = close + 1;
      } else {
        const std::size_t start = j;
        while (j < n && !isSpace(tag[j]) && tag[j] != '>') ++j;
        attribute.value = tag.substr(start, j - start);
        i = j;
      }
    }
    attribute.end = i;
    attributes.push_back(attribute);
  }
}

struct Edit {
  std::size_t begin;
  std::size_t end;
  std::string text;
};

class Recolorer {
 public:
  Recolorer(std::string colorText, std::optional<double> opacity)
      : colorText_(std::move(colorText)), opacity_(opacity) {}

  std::string run(std::string_view text) const {
    std::string out;
    out.reserve(text.size() + 64);
    std::size_t i = 0;
    while (i < text.size()) {
      const auto lt = text.find('<', i);
      if (lt == std::string_view::npos) {
        out.append(text.substr(i));
        break;
      }
      out.append(text.substr(i, lt - i));
      const auto rest = text.substr(lt);
      std::size_t end = std::string_view::npos;  // one past the construct
      bool startTag = false;
      if (rest.starts_with("<!--")) {
        end = closeAfter(text, lt + 4, "-->");
      } else if (rest.starts_with("<![CDATA[")) {
        end = closeAfter(text, lt + 9, "]]>");
      } else if (rest.starts_with("<?")) {
        end = closeAfter(text, lt + 2, "?>");
      } else if (rest.starts_with("<!")) {
        end = declarationEnd(text, lt + 2);
      } else if (rest.starts_with("</")) {
        end = closeAfter(text, lt + 2, ">");
      } else {
        end = startTagEnd(text, lt + 1);
        startTag = true;
      }
      if (end == std::string_view::npos) {
        out.append(rest);
        break;
      }
      const auto construct = text.substr(lt, end - lt);
      if (startTag) {
        out.append(rewriteStartTag(construct));
      } else {
        out.append(construct);
      }
      i = end;
    }
    return out;
  }

 private:
  static std::size_t closeAfter(std::string_view text, std::size_t from, std::string_view close) {
    const auto at = text.find(close, from);
    return at == std::string_view::npos ? at : at + close.size();
  }

  // A declaration such as <!DOCTYPE svg [ <!ENTITY ...> ]> may hold brackets and quotes.
  static std::size_t declarationEnd(std::string_view text, std::size_t from) {
    int depth = 0;
    char quote = 0;
    for (std::size_t i = from; i < text.size(); ++i) {
      const char c = text[i];
      if (quote != 0) {
        if (c == quote) quote = 0;
      } else if (c == '"' || c == '\'') {
        quote = c;
      } else if (c == '[') {
        ++depth;
      } else if (c == ']') {
        --depth;
      } else if (c == '>' && depth <= 0) {
        return i + 1;
      }
    }
    return std::string_view::npos;
  }

  static std::size_t startTagEnd(std::string_view text, std::size_t from) {
    char quote = 0;
    for (std::size_t i = from; i < text.size(); ++i) {
      const char c = text[i];
      if (quote != 0) {
        if (c == quote) quote = 0;
      } else if (c == '"' || c == '\'') {
        quote = c;
      } else if (c == '>') {
        return i + 1;
      }
    }
    return std::string_view::npos;
  }

  std::string colorAttribute(std::string_view name) const { return std::string(name) + "=\"" + colorText_ + "\""; }

  std::string opacityAttribute(std::string_view name) const {
    return " " + std::string(name) + "-opacity=\"" + formatOpacity(*opacity_) + "\"";
  }

  // The opacity attribute's new value: ours times the one already there when that is a plain
  // number, else ours.
  std::string combinedOpacity(std::string_view existing) const {
    double value = 0;
    const auto* first = existing.data();
    const auto* last = existing.data() + existing.size();
    const auto parsed = std::from_chars(first, last, value);
    if (parsed.ec == std::errc() && parsed.ptr == last && value >= 0) {
      return formatOpacity(std::clamp(value, 0.0, 1.0) * *opacity_);
    }
    return formatOpacity(*opacity_);
  }

  std::string rewriteStartTag(std::string_view tag) const {
    std::size_t nameEnd = 1;
    while (nameEnd < tag.size() && !isSpace(tag[nameEnd]) && tag[nameEnd] != '>' && tag[nameEnd] != '/') {
      ++nameEnd;
    }
    const auto elementName = tag.substr(1, nameEnd - 1);
    if (elementName.empty()) return std::string(tag);
    const auto attributes = parseAttributes(tag, nameEnd);
    if (!attributes) return std::string(tag);

    std::vector<Edit> edits;
    const Attribute* fill = nullptr;
    const Attribute* fillOpacity = nullptr;
    const Attribute* strokeOpacity = nullptr;
    bool fillSet = false;
    bool strokeSet = false;
    for (const auto& attribute : *attributes) {
      if (attribute.name == "fill") fill = &attribute;
      if (attribute.name == "fill-opacity") fillOpacity = &attribute;
      if (attribute.name == "stroke-opacity") strokeOpacity = &attribute;
      const bool paint = attribute.name == "fill" || attribute.name == "stroke";
      if (paint && attribute.quoted && isShortHexLike(attribute.value)) {
        edits.push_back({attribute.begin, attribute.end, colorAttribute(attribute.name)});
        (attribute.name == "fill" ? fillSet : strokeSet) = true;
      }
    }
    // Every <svg> element carries the colour as its fill, so unfilled shapes inherit it.
    std::size_t fillEnd = fill != nullptr ? fill->end : nameEnd;
    if (elementName == "svg" && !fillSet) {
      if (fill != nullptr) {
        edits.push_back({fill->begin, fill->end, colorAttribute("fill")});
      } else {
        edits.push_back({nameEnd, nameEnd, " " + colorAttribute("fill")});
      }
      fillSet = true;
    }
    if (opacity_) {
      // Every opacity already written is multiplied, so artwork that inherits the colour
      // under its own opacity is as translucent as the colour; each paint set here gets one.
      const auto addOpacity = [&](bool set, const Attribute* existing, std::string_view name, std::size_t after) {
        if (existing != nullptr) {
          edits.push_back({existing->begin, existing->end,
                           std::string(name) + "-opacity=\"" + combinedOpacity(existing->value) + "\""});
        } else if (set) {
          edits.push_back({after, after, opacityAttribute(name)});
        }
      };
      addOpacity(fillSet, fillOpacity, "fill", fillEnd);
      const Attribute* stroke = nullptr;
      for (const auto& attribute : *attributes) {
        if (attribute.name == "stroke") stroke = &attribute;
      }
      addOpacity(strokeSet, strokeOpacity, "stroke", stroke != nullptr ? stroke->end : nameEnd);
    }
    // Apply from the front; insertions at one place keep the order they were made in.
    std::stable_sort(edits.begin(), edits.end(), [](const Edit& a, const Edit& b) { return a.begin < b.begin; });
    std::string out;
    out.reserve(tag.size() + 64);
    std::size_t at = 0;
    for (const auto& edit : edits) {
      if (edit.begin < at) continue;  // overlapping edits cannot happen; be safe regardless
      out.append(tag.substr(at, edit.begin - at));
      out.append(edit.text);
      at = edit.end;
    }
    out.append(tag.substr(at));
    return out;
  }

  std::string colorText_;
  std::optional<double> opacity_;
};

}  // namespace

bool isArtworkBlack(const Color& color) { return color == Color::black(); }

std::string svgColorText(const Color& color) { return "#" + color.hexString(); }

std::optional<double> svgOpacity(const Color& color) {
  const double alpha = color.rgba().alpha;
  if (alpha >= 1.0) return std::nullopt;
  return std::clamp(alpha, 0.0, 1.0);
}

bool isValidUTF8(std::string_view text) {
  std::size_t i = 0;
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  while (i < n) {
    const unsigned char c = s[i];
    std::size_t length = 0;
    std::uint32_t code = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      length = 2;
      code = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      length = 3;
      code = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      length = 4;
      code = c & 0x07;
    } else {
      return false;
    }
    if (n - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      code = (code << 6) | (s[i + k] & 0x3F);
    }
    static constexpr std::uint32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kMinimum[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      return false;
    }
    i += length;
  }
  return true;
}

std::optional<std::string> recoloredSVGText(std::string_view svg, const Color& color) {
  if (!isValidUTF8(svg)) return std::nullopt;
  if (isArtworkBlack(color)) return std::string(svg);
  return Recolorer(svgColorText(color), svgOpacity(color)).run(svg);
}

std::optional<Bytes> recoloredSVG(std::span<const std::uint8_t> svg, const Color& color) {
  const std::string_view text(reinterpret_cast<const char*>(svg.data()), svg.size());
  if (isArtworkBlack(color)) return Bytes(svg.begin(), svg.end());
  auto recolored = recoloredSVGText(text, color);
  if (!recolored) return std::nullopt;
  return Bytes(recolored->begin(), recolored->end());
}

}  // namespace Vexelworks
