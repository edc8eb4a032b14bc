#include "localfs/LocalFs.h"

namespace LocalFs {

bool IsValidEntryName(Common::WStringView name) {
  if (name.empty() || name.size() > 255 || name == u"." || name == u"..") return false;
  for (char16_t c : name) {
    if (c < 32) return false;
    switch (c) {
      case u'"':
      case u'*':
      case u'/':
      case u':':
      case u'<':
      case u'>':
      case u'?':
      case u'\\':
      case u'|':
        return false;
      default:
        break;
    }
  }
  return true;
}

}  // namespace LocalFs
