#include "velmora/engine/formula.h"

#include "velmora/engine/json_record.h"

namespace velmora {

using namespace json_record;

Formula Formula::fromJSON(const nlohmann::json& object) {
    requireObject(object, "Formula");
    Formula f;
    f.category = requireString(object, "category");
    f.subcategory = requireString(object, "subcategory");
    f.topic = requireString(object, "topic");
    f.type = requireString(object, "type");
    f.imageName = requireString(object, "imageName");
    f.searched = requireString(object, "searched");
    f.given = stringList(require(object, "given"), "given");
    f.latex = requireString(object, "latex");
    f.identifier = requireString(object, "identifier");
    if (auto it = object.find("conditions"); it != object.end() && !it->is_null()) {
        f.conditions = stringList(*it, "conditions");
    }
    f.description = requireString(object, "description");
    return f;
}

nlohmann::ordered_json Formula::toJSON() const {
    nlohmann::ordered_json out;
    out["category"] = category;
    out["subcategory"] = subcategory;
    out["topic"] = topic;
    out["type"] = type;
    out["imageName"] = imageName;
    out["searched"] = searched;
    out["given"] = given;
    out["latex"] = latex;
    out["identifier"] = identifier;
    if (conditions) out["conditions"] = *conditions;
    out["description"] = description;
    return out;
}

}  // namespace velmora
