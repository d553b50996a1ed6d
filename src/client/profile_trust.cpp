#include "client/profile_trust.h"

#include <aclapi.h>

#include <cwchar>

#include "client/common_appdata.h"

namespace tl::client {

namespace {

bool StartsWithNoCase(const wchar_t* text, const wchar_t* prefix) {
  return _wcsnicmp(text, prefix, wcslen(prefix)) == 0;
}

ProfileStore ValueStore(const MappingValue& value) {
  return value.state == MappingValue::State::kText ? MappingTarget(value.text)
                                                   : ProfileStore::kUnknown;
}

// Two possible readings: the first one that is not a machine store, else the
// second.
ProfileStore Worse(ProfileStore a, ProfileStore b) { return IsMachineStore(a) ? b : a; }

ProfileStore FileDefaultStore(const ProfileMapping& mapping) {
  return mapping.file_default.state == MappingValue::State::kAbsent
             ? ProfileStore::kFile
             : ValueStore(mapping.file_default);
}

ProfileStore SectionKeyStore(const ProfileMapping& mapping) {
  if (mapping.section_key == MappingKey::kUnreadable) return ProfileStore::kUnknown;
  if (mapping.key_value.state != MappingValue::State::kAbsent) return ValueStore(mapping.key_value);
  if (mapping.section_default.state != MappingValue::State::kAbsent) {
    return ValueStore(mapping.section_default);
  }
  // Neither: the file, or the file key's default; which one is not written
  // down anywhere.
  return Worse(ProfileStore::kFile, FileDefaultStore(mapping));
}

// Closes a registry key on every path out.
class Key {
 public:
  Key() = default;
  ~Key() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  // Opens `sub_key` of `parent` for reading.
  MappingKey Open(HKEY parent, const wchar_t* sub_key) {
    LSTATUS status = RegOpenKeyExW(parent, sub_key, 0, KEY_READ, &key_);
    if (status == ERROR_SUCCESS) return MappingKey::kPresent;
    key_ = nullptr;
    return status == ERROR_FILE_NOT_FOUND ? MappingKey::kAbsent : MappingKey::kUnreadable;
  }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

// Value `name` of `key` (null: the unnamed value) into `value`.
void ReadValue(HKEY key, const wchar_t* name, MappingValue* value) {
  DWORD type = REG_NONE;
  DWORD bytes = sizeof(value->text);
  LSTATUS status =
      RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value->text), &bytes);
  if (status == ERROR_FILE_NOT_FOUND) {
    value->state = MappingValue::State::kAbsent;
    value->text[0] = L'\0';
    return;
  }
  // A string that did not fit, is of another type or lacks its terminator is
  // not read at all: a cut text could name another place than the whole one.
  const bool text = status == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ) &&
                    bytes % 2 == 0 && bytes >= 2 && bytes <= sizeof(value->text) &&
                    value->text[bytes / 2 - 1] == L'\0';
  value->state = text ? MappingValue::State::kText : MappingValue::State::kOther;
  if (!text) value->text[0] = L'\0';
}

bool ReadObject(const wchar_t* path, ObjectSecurity* object) {
  object->attributes = GetFileAttributesW(path);
  if (object->attributes == INVALID_FILE_ATTRIBUTES) return false;
  return GetNamedSecurityInfoW(path, SE_FILE_OBJECT,
                               OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                               nullptr, nullptr, nullptr, &object->descriptor) == ERROR_SUCCESS;
}

}  // namespace

ProfileStore MappingTarget(const wchar_t* text) {
  if (text == nullptr) return ProfileStore::kUnknown;
  while (*text == L'!' || *text == L'#' || *text == L'@') ++text;
  if (StartsWithNoCase(text, L"SYS:")) return ProfileStore::kMachine;
  if (StartsWithNoCase(text, L"USR:")) return ProfileStore::kUser;
  return ProfileStore::kUnknown;
}

ProfileStore ResolveProfileStore(const ProfileMapping& mapping) {
  if (mapping.file_key == MappingKey::kUnreadable) return ProfileStore::kUnknown;
  if (mapping.file_key == MappingKey::kAbsent) return ProfileStore::kFile;
  const bool has_sub_key = mapping.section_key != MappingKey::kAbsent;
  if (mapping.section_value.state != MappingValue::State::kAbsent) {
    const ProfileStore by_value = ValueStore(mapping.section_value);
    return has_sub_key ? Worse(by_value, SectionKeyStore(mapping)) : by_value;
  }
  if (has_sub_key) return SectionKeyStore(mapping);
  return FileDefaultStore(mapping);
}

bool IsMachineStore(ProfileStore store) {
  return store == ProfileStore::kFile || store == ProfileStore::kMachine;
}

bool IsProfileTrusted(const ObjectSecurity& file, const ObjectSecurity& folder,
                      const ProcessIdentity& identity, const ProfileMapping& mapping) {
  return IsTrustedObject(file.attributes, file.descriptor, identity) &&
         IsTrustedObject(folder.attributes, folder.descriptor, identity) &&
         IsMachineStore(ResolveProfileStore(mapping));
}

void ReadProfileMapping(HKEY root, const wchar_t* file_key, const wchar_t* section,
                        const wchar_t* key, ProfileMapping* mapping) {
  *mapping = ProfileMapping{};
  if (section == nullptr || key == nullptr || section[0] == L'\0' ||
      wcschr(section, L'\\') != nullptr || wcschr(key, L'\\') != nullptr) {
    mapping->file_key = MappingKey::kUnreadable;
    return;
  }
  Key file;
  mapping->file_key = file.Open(root, file_key);
  if (mapping->file_key != MappingKey::kPresent) return;
  ReadValue(file.get(), nullptr, &mapping->file_default);
  ReadValue(file.get(), section, &mapping->section_value);
  Key sub;
  mapping->section_key = sub.Open(file.get(), section);
  if (mapping->section_key != MappingKey::kPresent) return;
  ReadValue(sub.get(), key, &mapping->key_value);
  ReadValue(sub.get(), nullptr, &mapping->section_default);
}

bool IsProfileTrustedHere(const wchar_t* section, const wchar_t* key,
                          const ProcessIdentity& identity) {
  // The folder the profile functions take win.ini from: per user under a
  // terminal server, which this check then sees as the user's own.
  wchar_t folder[kPathUnits];
  UINT len = GetWindowsDirectoryW(folder, kPathUnits);
  constexpr wchar_t kName[] = L"\\win.ini";
  constexpr size_t kNameUnits = sizeof(kName) / sizeof(kName[0]) - 1;
  if (len == 0 || len + kNameUnits >= kPathUnits) return false;
  wchar_t file[kPathUnits];
  wmemcpy(file, folder, len);
  // "C:\" as the folder keeps its separator.
  const size_t base = folder[len - 1] == L'\\' ? len - 1 : len;
  wmemcpy(file + base, kName, kNameUnits + 1);

  ProfileMapping mapping;
  ReadProfileMapping(HKEY_LOCAL_MACHINE, kWinIniMappingKey, section, key, &mapping);
  ObjectSecurity file_security;
  ObjectSecurity folder_security;
  const bool read = ReadObject(file, &file_security) && ReadObject(folder, &folder_security);
  const bool trusted = read && IsProfileTrusted(file_security, folder_security, identity, mapping);
  LocalFree(file_security.descriptor);
  LocalFree(folder_security.descriptor);
  return trusted;
}

}  // namespace tl::client
