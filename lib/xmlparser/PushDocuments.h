// The WAP push documents the FLP 1.x engine reads, as element classes for
// XMLParser:
//
//   sl                    href (required)                 Service Loading
//   wap-provisioningdoc   version; characteristic 0..n    provisioning
//   characteristic        type (required); parm 0..n, characteristic 0..n
//   parm                  name (required), value
//
// Nested characteristics are bounded by the parser's depth bound.
//
// Threads: a document object belongs to one thread at a time.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Element.h"

class SlElement : public Element {
 public:
  const ElementShell& shell() const override;
  const std::optional<std::string>& href() const { return mHref; }

  std::optional<std::string> mHref;
};

class ParmElement : public Element {
 public:
  const ElementShell& shell() const override;
  const std::optional<std::string>& parmName() const { return mName; }
  const std::optional<std::string>& value() const { return mValue; }

  std::optional<std::string> mName;
  std::optional<std::string> mValue;
};

class CharacteristicElement : public Element {
 public:
  const ElementShell& shell() const override;
  const std::optional<std::string>& type() const { return mType; }
  const std::vector<std::unique_ptr<ParmElement>>& parms() const { return mParms; }
  const std::vector<std::unique_ptr<CharacteristicElement>>& characteristics() const { return mCharacteristics; }

  std::optional<std::string> mType;
  std::vector<std::unique_ptr<ParmElement>> mParms;
  std::vector<std::unique_ptr<CharacteristicElement>> mCharacteristics;
};

class WapProvisioningDocElement : public Element {
 public:
  const ElementShell& shell() const override;
  const std::optional<std::string>& version() const { return mVersion; }
  const std::vector<std::unique_ptr<CharacteristicElement>>& characteristics() const { return mCharacteristics; }

  std::optional<std::string> mVersion;
  std::vector<std::unique_ptr<CharacteristicElement>> mCharacteristics;
};
