#include "PushDocuments.h"

using namespace xmldecl;

const ElementShell& SlElement::shell() const {
  static const ElementShell kShell("sl", {attribute<&SlElement::mHref>("href", REQUIRED)}, {});
  return kShell;
}

const ElementShell& ParmElement::shell() const {
  static const ElementShell kShell("parm",
                                   {
                                       attribute<&ParmElement::mName>("name", REQUIRED),
                                       attribute<&ParmElement::mValue>("value", OPTIONAL),
                                   },
                                   {});
  return kShell;
}

const ElementShell& CharacteristicElement::shell() const {
  static const ElementShell kShell("characteristic", {attribute<&CharacteristicElement::mType>("type", REQUIRED)},
                                   {
                                       many<&CharacteristicElement::mParms>("parm", 0, -1),
                                       many<&CharacteristicElement::mCharacteristics>("characteristic", 0, -1),
                                   });
  return kShell;
}

const ElementShell& WapProvisioningDocElement::shell() const {
  static const ElementShell kShell("wap-provisioningdoc",
                                   {attribute<&WapProvisioningDocElement::mVersion>("version", OPTIONAL)},
                                   {many<&WapProvisioningDocElement::mCharacteristics>("characteristic", 0, -1)});
  return kShell;
}
