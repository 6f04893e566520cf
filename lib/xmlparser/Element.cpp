#include "Element.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

ElementShell::ElementShell(const char* name, std::vector<AttributeDecl> attributes, std::vector<ChildDecl> children,
                           std::optional<ValueSlot> value)
    : mName(name), mAttributes(std::move(attributes)), mChildren(std::move(children)), mValue(value) {
  for (ChildDecl& child : mChildren) {
    if (child.max < 0) child.max = kUnbounded;
  }
}

const ChildDecl* ElementShell::findChild(const char* name) const {
  for (const ChildDecl& child : mChildren) {
    if (std::strcmp(child.name, name) == 0) return &child;
  }
  return nullptr;
}

namespace xmlvalue {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

bool readInt(const std::string& text, int& out) {
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(begin, &end, 10);
  if (end == begin || errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
  out = static_cast<int>(v);
  return true;
}

bool readBool(const std::string& text, bool& out) {
  if (text == "true") {
    out = true;
  } else if (text == "false") {
    out = false;
  } else {
    return false;
  }
  return true;
}

bool readTime(const std::string& text, long& seconds) {
  std::string::size_type b = 0;
  std::string::size_type e = text.size();
  while (b < e && isBlank(text[b])) ++b;
  while (e > b && isBlank(text[e - 1])) --e;
  if (b == e) return false;
  for (std::string::size_type i = b; i < e; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  const std::string::size_type length = e - b;
  if (length == 1 && text[b] == '0') {
    seconds = 0;
    return true;
  }
  // Under a second still counts as one.
  if (length < 4) {
    seconds = 1;
    return true;
  }
  long v = 0;
  for (std::string::size_type i = b; i < e - 3; ++i) {
    int digit = text[i] - '0';
    if (v > (LONG_MAX - digit) / 10) return false;
    v = v * 10 + digit;
  }
  seconds = v;
  return true;
}

std::string writeTime(long seconds) { return std::to_string(seconds) + "000"; }

bool assign(const ValueSlot& slot, Element& element, const std::string& text) {
  void* field = slot.field(element);
  switch (slot.type) {
    case ValueType::TEXT:
      *static_cast<std::optional<std::string>*>(field) = text;
      return true;
    case ValueType::INT: {
      int v = 0;
      if (!readInt(text, v)) return false;
      *static_cast<std::optional<int>*>(field) = v;
      return true;
    }
    case ValueType::BOOL: {
      bool v = false;
      if (!readBool(text, v)) return false;
      *static_cast<std::optional<bool>*>(field) = v;
      return true;
    }
    case ValueType::TIME: {
      long v = 0;
      if (!readTime(text, v)) return false;
      *static_cast<std::optional<TimeValue>*>(field) = TimeValue(v);
      return true;
    }
  }
  return false;
}

bool format(const ValueSlot& slot, const Element& element, std::string& text) {
  // The field is only read here.
  void* field = slot.field(const_cast<Element&>(element));
  switch (slot.type) {
    case ValueType::TEXT: {
      const auto& v = *static_cast<const std::optional<std::string>*>(field);
      if (!v) return false;
      text = *v;
      return true;
    }
    case ValueType::INT: {
      const auto& v = *static_cast<const std::optional<int>*>(field);
      if (!v) return false;
      text = std::to_string(*v);
      return true;
    }
    case ValueType::BOOL: {
      const auto& v = *static_cast<const std::optional<bool>*>(field);
      if (!v) return false;
      text = *v ? "true" : "false";
      return true;
    }
    case ValueType::TIME: {
      const auto& v = *static_cast<const std::optional<TimeValue>*>(field);
      if (!v) return false;
      text = writeTime(v->seconds());
      return true;
    }
  }
  return false;
}

}  // namespace xmlvalue

namespace {

void escape(const std::string& text, bool inAttribute, std::string& out) {
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        if (inAttribute) {
          out += "&quot;";
        } else {
          out += c;
        }
        break;
      // Written as references so that a reader gets them back as they are
      // (line ends and, in attributes, white space would be normalised).
      case '\r':
        out += "&#13;";
        break;
      case '\n':
        if (inAttribute) {
          out += "&#10;";
        } else {
          out += c;
        }
        break;
      case '\t':
        if (inAttribute) {
          out += "&#9;";
        } else {
          out += c;
        }
        break;
      default:
        out += c;
    }
  }
}

}  // namespace

void Element::print(std::string& out) const {
  const ElementShell& s = shell();
  out += '<';
  out += s.name();
  std::string text;
  for (const AttributeDecl& attribute : s.attributes()) {
    if (!xmlvalue::format(attribute.slot, *this, text)) continue;
    out += ' ';
    out += attribute.name;
    out += "=\"";
    escape(text, true, out);
    out += '"';
  }
  std::vector<const Element*> children;
  for (const ChildDecl& child : s.children()) child.collect(*this, children);
  bool hasValue = s.value() != nullptr && xmlvalue::format(*s.value(), *this, text);
  if (children.empty() && !hasValue) {
    out += "/>";
    return;
  }
  out += '>';
  if (hasValue) escape(text, false, out);
  for (const Element* child : children) child->print(out);
  out += "</";
  out += s.name();
  out += '>';
}
