// What a server-method class is to the remote-call layer.
//
// The protocol publishes the methods of a RemoteClass, asks it for instances (the create- and
// destroy-instance events) and invokes methods with argument values; the service implements
// it for TServerModule1; the host registers it with the protocol. Declaring it here keeps the
// protocol and the service independent of each other.
//
// Argument values are Variants, one per declared parameter in declared order:
//   string -> kVarOleStr, Integer -> kVarInteger, Boolean -> kVarBoolean,
//   TDateTime -> kVarDate, OleVariant -> any variant.
// Out parameters arrive unassigned (the method must set them); the result is set by the method.
#ifndef DATASERVER_COMMON_REMOTE_CLASS_H_
#define DATASERVER_COMMON_REMOTE_CLASS_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/variant.h"

namespace common {

enum class DeclaredType { kString, kOleVariant, kInteger, kBoolean, kDateTime };

// Passing modes: in (by value), const, out, var (in-out).
enum class ParamMode { kIn, kConst, kOut, kVar };

struct RemoteParam {
  std::string name;
  DeclaredType type;
  ParamMode mode;
};

struct RemoteMethod {
  std::string name;
  std::vector<RemoteParam> params;
  std::optional<DeclaredType> result;  // none for a procedure
};

// One server-method object. Invoke runs on the connection thread of the session that holds the
// instance; an instance is used by one session at a time. Failures are exceptions
// (common::Error or any std::exception), which the dispatcher turns into error replies.
class RemoteInstance {
 public:
  virtual ~RemoteInstance() = default;
  // `method_index` indexes RemoteClass::Methods(); `args` has one value per declared parameter.
  virtual void Invoke(size_t method_index, std::vector<Variant>& args, Variant& result) = 0;
};

enum class InstanceLifecycle { kSession, kServer, kInvocation };

// A published class. Methods() is fixed for the life of the object and may be read from any
// thread; CreateInstance and DestroyInstance are called on connection threads, concurrently.
class RemoteClass {
 public:
  virtual ~RemoteClass() = default;
  virtual const std::string& Name() const = 0;
  virtual const std::vector<RemoteMethod>& Methods() const = 0;
  virtual InstanceLifecycle Lifecycle() const { return InstanceLifecycle::kSession; }
  // Returns an instance the caller may use until it hands it back to DestroyInstance.
  virtual RemoteInstance* CreateInstance() = 0;
  virtual void DestroyInstance(RemoteInstance* instance) = 0;
};

}  // namespace common

#endif  // DATASERVER_COMMON_REMOTE_CLASS_H_
