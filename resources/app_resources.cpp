#include "resources/app_resources.h"

#include <map>

#include "resources/resource.h"

namespace {

std::map<int, QString>& StringTable() {
  static std::map<int, QString> table{
      {IDS_ABOUTBOX, QStringLiteral("&About Pylax...")},
  };
  return table;
}

}  // namespace

// Outside any namespace, as the macro's extern declaration needs.
static void LoadIconResources() {
  // The icons live in a static library: nothing else references its
  // resource initialiser, so the linker would drop it without this call.
  Q_INIT_RESOURCE(pylax);
}

QIcon AppIcon() {
  static const bool loaded = (LoadIconResources(), true);
  (void)loaded;
  QIcon icon;
  for (int size : {16, 32, 48, 256}) icon.addFile(QStringLiteral(":/icons/pylax-%1.png").arg(size));
  return icon;
}

QString LoadResourceString(int id) {
  const auto it = StringTable().find(id);
  return it == StringTable().end() ? QString() : it->second;
}

void SetResourceString(int id, const QString& text) { StringTable()[id] = text; }
