#include "zelstats/design/Designer.h"

#include "zelstats/data/DataSet.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace zel {

// --- TComponentClass

TComponent& TComponentClass::Create(TComponent& owner) const { return *create_(&owner); }

std::unique_ptr<TComponent> TComponentClass::Create() const
{
    return std::unique_ptr<TComponent>(create_(nullptr));
}

// --- TPropertyEditor

TPropertyEditor::TPropertyEditor(std::vector<TComponent*> components,
                                 TPublishedProperty property)
    : components_(std::move(components)), property_(std::move(property))
{
}

TPropertyEditor::~TPropertyEditor() = default;

TPropertyAttributes TPropertyEditor::GetAttributes() const { return {paRevertable}; }

void TPropertyEditor::GetValues(const TGetStrProc&) {}

int TPropertyEditor::GetEditLimit() const { return 0; }

TComponent* TPropertyEditor::GetComponent(int index) const
{
    if (index < 0 || index >= PropCount())
        throw std::out_of_range("component index " + std::to_string(index) + " is outside 0.."
                                + std::to_string(PropCount() - 1));
    return components_[static_cast<std::size_t>(index)];
}

// --- TStringProperty

TPropertyAttributes TStringProperty::GetAttributes() const
{
    return {paMultiSelect, paRevertable};
}

std::string TStringProperty::GetValue() const { return Property().get(*GetComponent(0)); }

void TStringProperty::SetValue(const std::string& value)
{
    for (int i = 0; i < PropCount(); ++i)
        Property().set(*GetComponent(i), value);
}

bool TStringProperty::AllEqual() const
{
    const std::string first = GetValue();
    for (int i = 1; i < PropCount(); ++i)
        if (Property().get(*GetComponent(i)) != first)
            return false;
    return true;
}

int TStringProperty::GetEditLimit() const { return 255; }

// --- The registry

namespace {

struct PalettePage {
    std::string name;
    std::vector<TComponentClass> classes;
};

struct EditorRegistration {
    std::type_index propertyType;
    TComponentClass componentClass;
    std::string propertyName;
    TPropertyEditorClass editorClass;
};

struct Registry {
    std::vector<PalettePage> pages;
    std::vector<EditorRegistration> editors;
};

Registry& TheRegistry()
{
    static Registry registry;
    return registry;
}

// ASCII case only: std::tolower follows the process locale, and under a Turkish one 'I' is not
// the capital of 'i'.
char FoldAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool LessIgnoringCase(const std::string& a, const std::string& b)
{
    return std::lexicographical_compare(
        a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
            return static_cast<unsigned char>(FoldAscii(x)) < static_cast<unsigned char>(FoldAscii(y));
        });
}

} // namespace

void RegisterComponents(const std::string& page, const std::vector<TComponentClass>& classes)
{
    auto& pages = TheRegistry().pages;
    auto it = std::find_if(pages.begin(), pages.end(),
                           [&page](const PalettePage& p) { return p.name == page; });
    if (it == pages.end())
        it = pages.insert(pages.end(), PalettePage{page, {}});
    for (const TComponentClass& cls : classes)
        if (std::find(it->classes.begin(), it->classes.end(), cls) == it->classes.end())
            it->classes.push_back(cls);
}

void RegisterPropertyEditor(std::type_index propertyType, const TComponentClass& componentClass,
                            const std::string& propertyName, TPropertyEditorClass editorClass)
{
    auto& editors = TheRegistry().editors;
    std::erase_if(editors, [&](const EditorRegistration& r) {
        return r.propertyType == propertyType && r.componentClass == componentClass
               && r.propertyName == propertyName;
    });
    editors.push_back({propertyType, componentClass, propertyName, std::move(editorClass)});
}

std::vector<std::string> PalettePages()
{
    std::vector<std::string> names;
    for (const auto& page : TheRegistry().pages)
        names.push_back(page.name);
    return names;
}

std::vector<TComponentClass> PaletteClasses(const std::string& page)
{
    for (const auto& p : TheRegistry().pages)
        if (p.name == page)
            return p.classes;
    return {};
}

const TPropertyEditorClass* FindPropertyEditor(std::type_index propertyType,
                                               const TComponent& component,
                                               const std::string& propertyName)
{
    const auto& editors = TheRegistry().editors;
    for (auto it = editors.rbegin(); it != editors.rend(); ++it)
        if (it->propertyType == propertyType && it->propertyName == propertyName
            && it->componentClass.IsInstance(component))
            return &it->editorClass;
    return nullptr;
}

std::unique_ptr<TPropertyEditor> CreatePropertyEditor(const std::vector<TComponent*>& selection,
                                                      const TPublishedProperty& property)
{
    if (selection.empty())
        return nullptr;
    const TPropertyEditorClass* editorClass = nullptr;
    for (const TComponent* component : selection) {
        const TPropertyEditorClass* found =
            FindPropertyEditor(property.type, *component, property.name);
        if (found == nullptr || (editorClass != nullptr && found->Name() != editorClass->Name()))
            return nullptr;
        editorClass = found;
    }
    auto editor = editorClass->Create(selection, property);
    if (selection.size() > 1 && !editor->GetAttributes().Contains(paMultiSelect))
        return nullptr;
    return editor;
}

std::vector<std::string> ValueList(TPropertyEditor& editor)
{
    std::vector<std::string> entries;
    const TPropertyAttributes attributes = editor.GetAttributes();
    if (!attributes.Contains(paValueList))
        return entries;
    editor.GetValues([&entries](const std::string& entry) { entries.push_back(entry); });
    if (attributes.Contains(paSortList))
        std::stable_sort(entries.begin(), entries.end(), LessIgnoringCase);
    return entries;
}

void ClearDesignRegistry()
{
    TheRegistry().pages.clear();
    TheRegistry().editors.clear();
}

} // namespace zel
