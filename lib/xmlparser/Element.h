// The element model of the XML marshalling library: an element class states
// what it accepts as data (its attribute declarations with a value type and
// a required flag, its child declarations with counts, and the type of its
// text value) and XMLParser (XMLParser.h) reads a document into objects of
// such classes, checking the declarations as it goes.
//
// The declarations of a class live in one ElementShell shared by all its
// objects; an object holds only its values. A class declares itself like
// this:
//
//   class LinkElement : public Element {
//    public:
//     const ElementShell& shell() const override;
//     std::optional<std::string> mHref;
//   };
//   const ElementShell& LinkElement::shell() const {
//     static const ElementShell kShell("link",
//         {xmldecl::attribute<&LinkElement::mHref>("href", xmldecl::REQUIRED)}, {});
//     return kShell;
//   }
//
// The value type of a declaration follows from the type of the field:
// std::optional<std::string> is text, std::optional<int> int,
// std::optional<bool> bool and std::optional<TimeValue> time (see
// xmlvalue:: below for how each is read). A single child is a
// std::unique_ptr<T> field (maximum 1), repeated children a
// std::vector<std::unique_ptr<T>> field.
//
// Threads: shells are built on first use (thread-safe statics) and never
// change; an element object belongs to one thread at a time.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "TimeValue.h"

enum class ValueType { TEXT, INT, BOOL, TIME };

class Element;

// Where a value of one type goes: a field of the element object.
struct ValueSlot {
  ValueType type;
  void* (*field)(Element& element);
};

struct AttributeDecl {
  const char* name;
  bool required;
  ValueSlot slot;
};

struct ChildDecl {
  const char* name;
  int min;
  int max;      // a negative maximum means 16777215 (see ElementShell)
  bool single;  // one slot (maximum 1) rather than a list
  std::unique_ptr<Element> (*create)();
  // Takes the child into the parent's slot (replacing an earlier one) or
  // appends it to the parent's list.
  void (*store)(Element& parent, std::unique_ptr<Element> child);
  // The children held under this declaration, in order.
  void (*collect)(const Element& parent, std::vector<const Element*>& out);
};

class ElementShell {
 public:
  static constexpr int kUnbounded = 16777215;

  ElementShell(const char* name, std::vector<AttributeDecl> attributes, std::vector<ChildDecl> children,
               std::optional<ValueSlot> value = std::nullopt);

  const char* name() const { return mName; }
  const std::vector<AttributeDecl>& attributes() const { return mAttributes; }
  const std::vector<ChildDecl>& children() const { return mChildren; }
  // Null when the element takes no text.
  const ValueSlot* value() const { return mValue ? &*mValue : nullptr; }
  // The child declaration of that name, or null.
  const ChildDecl* findChild(const char* name) const;

 private:
  const char* mName;
  std::vector<AttributeDecl> mAttributes;
  std::vector<ChildDecl> mChildren;
  std::optional<ValueSlot> mValue;
};

class Element {
 public:
  Element() = default;
  virtual ~Element() = default;
  Element(const Element&) = delete;
  Element& operator=(const Element&) = delete;

  // The declarations of this element's class.
  virtual const ElementShell& shell() const = 0;
  const char* name() const { return shell().name(); }

  // Hooks around marshalling. False fails the element.
  virtual bool beforeMarshal() { return true; }
  virtual bool afterMarshal() { return true; }

  // Appends the element and its children as XML: attributes and children in
  // declaration order, times written back as seconds followed by "000".
  // Used for logs and tests.
  void print(std::string& out) const;
  std::string toXml() const {
    std::string out;
    print(out);
    return out;
  }
};

// Reading and writing the value types.
namespace xmlvalue {
// Text: the bytes as they stand; never fails.
// Int: a decimal integer at the start of the text (leading white space
// skipped, reading stops at the first character that cannot continue the
// number). Fails without a number at the start, or beyond the int range.
bool readInt(const std::string& text, int& out);
// Bool: exactly "true" or exactly "false".
bool readBool(const std::string& text, bool& out);
// Time: milliseconds since 1970 as seconds. "0" gives 0; a text of fewer
// than 4 characters gives 1; otherwise the last 3 characters are dropped and
// the rest is the number of seconds. The text (white space around it aside)
// must be decimal digits only and the seconds must fit a long: a time that
// does not parse or overflows fails.
bool readTime(const std::string& text, long& seconds);
std::string writeTime(long seconds);

// Reads text into the slot's field of element; false when it does not parse.
bool assign(const ValueSlot& slot, Element& element, const std::string& text);
// The field's value as text; false when it holds none.
bool format(const ValueSlot& slot, const Element& element, std::string& text);
}  // namespace xmlvalue

// Helpers that turn pointers to members into declarations.
namespace xmldecl {

constexpr bool REQUIRED = true;
constexpr bool OPTIONAL = false;

template <class P>
struct MemberOf;
template <class C, class T>
struct MemberOf<T C::*> {
  using Class = C;
  using Type = T;
};

template <class T>
struct ValueTypeOf;
template <>
struct ValueTypeOf<std::optional<std::string>> {
  static constexpr ValueType kType = ValueType::TEXT;
};
template <>
struct ValueTypeOf<std::optional<int>> {
  static constexpr ValueType kType = ValueType::INT;
};
template <>
struct ValueTypeOf<std::optional<bool>> {
  static constexpr ValueType kType = ValueType::BOOL;
};
template <>
struct ValueTypeOf<std::optional<TimeValue>> {
  static constexpr ValueType kType = ValueType::TIME;
};

template <auto M>
void* field(Element& element) {
  using C = typename MemberOf<decltype(M)>::Class;
  static_assert(std::is_base_of_v<Element, C>, "a declared field belongs to an element class");
  return &(static_cast<C&>(element).*M);
}

template <auto M>
ValueSlot slot() {
  using T = typename MemberOf<decltype(M)>::Type;
  return ValueSlot{ValueTypeOf<T>::kType, &field<M>};
}

template <auto M>
AttributeDecl attribute(const char* name, bool required) {
  return AttributeDecl{name, required, slot<M>()};
}

template <auto M>
ValueSlot value() {
  return slot<M>();
}

template <class T>
std::unique_ptr<Element> create() {
  return std::make_unique<T>();
}

template <class P>
struct Pointee;
template <class T>
struct Pointee<std::unique_ptr<T>> {
  using Type = T;
};
template <class T>
struct Pointee<std::vector<std::unique_ptr<T>>> {
  using Type = T;
};

template <auto M>
void storeOne(Element& parent, std::unique_ptr<Element> child) {
  using C = typename MemberOf<decltype(M)>::Class;
  using T = typename Pointee<typename MemberOf<decltype(M)>::Type>::Type;
  (static_cast<C&>(parent).*M).reset(static_cast<T*>(child.release()));
}

template <auto M>
void storeMany(Element& parent, std::unique_ptr<Element> child) {
  using C = typename MemberOf<decltype(M)>::Class;
  using T = typename Pointee<typename MemberOf<decltype(M)>::Type>::Type;
  (static_cast<C&>(parent).*M).emplace_back(static_cast<T*>(child.release()));
}

template <auto M>
void collectOne(const Element& parent, std::vector<const Element*>& out) {
  using C = typename MemberOf<decltype(M)>::Class;
  const auto& held = static_cast<const C&>(parent).*M;
  if (held) out.push_back(held.get());
}

template <auto M>
void collectMany(const Element& parent, std::vector<const Element*>& out) {
  using C = typename MemberOf<decltype(M)>::Class;
  for (const auto& child : static_cast<const C&>(parent).*M) out.push_back(child.get());
}

// A single child, at most one. Made is the class created (by default the
// field's element type; it may be a class derived from it).
template <auto M, class Made = void>
ChildDecl one(const char* name, int min) {
  using T = typename Pointee<typename MemberOf<decltype(M)>::Type>::Type;
  using Created = std::conditional_t<std::is_void_v<Made>, T, Made>;
  static_assert(std::is_base_of_v<T, Created>, "the created class fits the field");
  return ChildDecl{name, min, 1, true, &create<Created>, &storeOne<M>, &collectOne<M>};
}

// Repeated children, min to max of them (max negative: no practical limit).
template <auto M, class Made = void>
ChildDecl many(const char* name, int min, int max) {
  using T = typename Pointee<typename MemberOf<decltype(M)>::Type>::Type;
  using Created = std::conditional_t<std::is_void_v<Made>, T, Made>;
  static_assert(std::is_base_of_v<T, Created>, "the created class fits the field");
  return ChildDecl{name, min, max, false, &create<Created>, &storeMany<M>, &collectMany<M>};
}

}  // namespace xmldecl
