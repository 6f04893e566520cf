#include "txn/Enums.h"

#include <memory>
#include <vector>

#include "platform/Log.h"

namespace txn {

namespace {

// Registries are function-local statics so that they exist before the first
// value constructor runs, whatever the order of static initialisation.
template <class T>
std::map<std::string, const T*>& registry() {
  static std::map<std::string, const T*> values;
  return values;
}

template <class T>
const T* lookup(const std::string& name) {
  const auto& values = registry<T>();
  auto it = values.find(name);
  return it == values.end() ? nullptr : it->second;
}

}  // namespace

// Creation order is the order of definition below (one translation unit).
RequestTrigger::RequestTrigger(const char* name) : StringEnum(name) { registry<RequestTrigger>()[name] = this; }
const RequestTrigger RequestTrigger::TTL("ttl");
const RequestTrigger RequestTrigger::MAN("man");
const RequestTrigger RequestTrigger::SVR("svr");
const RequestTrigger RequestTrigger::SIM("sim");
const RequestTrigger RequestTrigger::MC("mc");
const RequestTrigger RequestTrigger::MR("mr");

const RequestTrigger* RequestTrigger::fromString(const std::string& name) {
  const RequestTrigger* value = lookup<RequestTrigger>(name);
  if (value == nullptr) QV_LOG(3, "Unrecognized request-trigger %s", name.c_str());
  return value;
}

ExpectedContent::ExpectedContent(const char* name) : StringEnum(name) { registry<ExpectedContent>()[name] = this; }
const ExpectedContent ExpectedContent::COMPLETE("complete");
const ExpectedContent ExpectedContent::PARTIAL("partial");
const ExpectedContent ExpectedContent::DATA("data");
const ExpectedContent ExpectedContent::ID("id");

const ExpectedContent* ExpectedContent::fromString(const std::string& name) {
  const ExpectedContent* value = lookup<ExpectedContent>(name);
  if (value == nullptr) QV_LOG(3, "Unrecognized expected-content %s", name.c_str());
  return value;
}

NotifyAction::NotifyAction(const char* name) : StringEnum(name) { registry<NotifyAction>()[name] = this; }
const NotifyAction NotifyAction::SYSTEM("system");
const NotifyAction NotifyAction::CONTENT_UPDATE("contentupdate");
const NotifyAction NotifyAction::USAGE_TRACKING_REPORT("usagetrackingreport");

const NotifyAction* NotifyAction::fromString(const std::string& name) {
  const NotifyAction* value = lookup<NotifyAction>(name);
  if (value == nullptr) QV_LOG(3, "Unrecognized notify-action %s", name.c_str());
  return value;
}

AbsentMode::AbsentMode(const char* name) : StringEnum(name) { registry<AbsentMode>()[name] = this; }
const AbsentMode AbsentMode::REMOVE("remove");
const AbsentMode AbsentMode::IGNORE("ignore");

const AbsentMode* AbsentMode::fromString(const std::string& name) {
  const AbsentMode* value = lookup<AbsentMode>(name);
  if (value == nullptr) QV_LOG(3, "Unrecognized absent-mode %s", name.c_str());
  return value;
}

AuthenticationMethod::AuthenticationMethod(const char* name) : StringEnum(name) {
  registry<AuthenticationMethod>()[name] = this;
}
const AuthenticationMethod AuthenticationMethod::NONE("NONE");
const AuthenticationMethod AuthenticationMethod::PWD("PWD");
const AuthenticationMethod AuthenticationMethod::BASIC("BASIC");
const AuthenticationMethod AuthenticationMethod::SHA_0("SHA_0");
const AuthenticationMethod AuthenticationMethod::SHA_1("SHA_1");
const AuthenticationMethod AuthenticationMethod::SHA_2("SHA_2");
const AuthenticationMethod AuthenticationMethod::MD5("MD5");

const AuthenticationMethod* AuthenticationMethod::fromString(const std::string& name) {
  const AuthenticationMethod* value = lookup<AuthenticationMethod>(name);
  if (value == nullptr) QV_LOG(3, "Unrecognized authentication-method, %s", name.c_str());
  return value;
}

// The status codes live in one table, built on first use; the file-scope
// reference below builds it during static initialisation.
struct StatusCodeTable {
  std::vector<std::unique_ptr<StatusCode>> values;
  std::map<int, const StatusCode*> byCode;

  StatusCodeTable() {
    auto add = [this](int first, int last) {
      for (int c = first; c <= last; ++c) {
        values.emplace_back(new StatusCode(c));
        byCode[c] = values.back().get();
      }
    };
    add(100, 102);
    add(200, 201);
    add(203, 203);
    add(400, 423);
    add(500, 511);
    add(520, 520);
    add(600, 604);
    add(900, 904);
  }

  static const StatusCodeTable& instance() {
    static const StatusCodeTable table;
    return table;
  }
};

namespace {
[[maybe_unused]] const StatusCodeTable& gStatusCodes = StatusCodeTable::instance();
}  // namespace

StatusCode::StatusCode(int code) : mCode(code) {}

bool StatusCode::isError() const { return (mCode >= 400 && mCode <= 699) || (mCode >= 900 && mCode <= 999); }

const StatusCode* StatusCode::fromCode(int code) {
  const auto& byCode = StatusCodeTable::instance().byCode;
  auto it = byCode.find(code);
  if (it == byCode.end()) {
    QV_LOG(3, "Unrecognized statuscode %d", code);
    return nullptr;
  }
  return it->second;
}

}  // namespace txn
