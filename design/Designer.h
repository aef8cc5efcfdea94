// The design-time services a form designer offers to component packages: the component
// palette, property editors chosen by property type, component class and property name, and
// the string-property editor that specialised editors build on.
//
// A designer (the demo program, or a test standing in for one) reads the palette to offer the
// registered components, and asks for the editor of a property of the selected components to
// present that property: as plain text, or as a drop-down list of values.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <typeindex>
#include <vector>

namespace zel {

class TComponent;

// --- Component classes

// A component class as the designer knows it: its name, a factory that creates a component of
// the class, and a test whether a component is of the class or of one of its descendants.
class TComponentClass {
public:
    template <class T>
    static TComponentClass Of(std::string name)
    {
        return TComponentClass(
            std::move(name), [](TComponent* owner) -> TComponent* { return new T(owner); },
            [](const TComponent& c) { return dynamic_cast<const T*>(&c) != nullptr; });
    }

    const std::string& Name() const { return name_; }
    // A new component that `owner` owns and frees.
    TComponent& Create(TComponent& owner) const;
    // A new component without an owner.
    std::unique_ptr<TComponent> Create() const;
    // True when the component is of this class or of a class derived from it.
    bool IsInstance(const TComponent& component) const { return isInstance_(component); }

    friend bool operator==(const TComponentClass& a, const TComponentClass& b)
    {
        return a.name_ == b.name_;
    }

private:
    using Factory = TComponent* (*)(TComponent* owner);
    using InstanceTest = bool (*)(const TComponent&);
    TComponentClass(std::string name, Factory create, InstanceTest isInstance)
        : name_(std::move(name)), create_(create), isInstance_(isInstance)
    {
    }

    std::string name_;
    Factory create_;
    InstanceTest isInstance_;
};

// --- Properties and their editors

// The attributes an editor gives its property, as bits of one set.
enum TPropertyAttribute : unsigned {
    paValueList = 0,    // the property offers a drop-down list of values
    paSubProperties = 1,
    paDialog = 2,
    paMultiSelect = 3,  // the editor stays available when several components are selected
    paAutoUpdate = 4,
    paSortList = 5,     // the designer sorts the value list alphabetically
    paReadOnly = 6,
    paRevertable = 7,
};

class TPropertyAttributes {
public:
    constexpr TPropertyAttributes() = default;
    constexpr TPropertyAttributes(std::initializer_list<TPropertyAttribute> attributes)
    {
        for (TPropertyAttribute a : attributes)
            bits_ |= 1u << a;
    }
    constexpr bool Contains(TPropertyAttribute a) const { return (bits_ >> a) & 1u; }
    // The set as the designer stores it: bit n for the attribute of value n.
    constexpr std::uint32_t Bits() const { return bits_; }
    friend constexpr bool operator==(TPropertyAttributes, TPropertyAttributes) = default;

private:
    std::uint32_t bits_ = 0;
};

// A published property of a component class as the designer reaches it: its name, its type,
// and how its value reads and writes as text. The designer builds one for each property it
// shows; `get` and `set` receive components of a class that has the property.
struct TPublishedProperty {
    std::string name;
    std::type_index type;
    std::function<std::string(const TComponent&)> get;
    std::function<void(TComponent&, const std::string&)> set;
};

// The value callback of GetValues: each call adds one entry to the drop-down list.
using TGetStrProc = std::function<void(const std::string&)>;

// Edits one property of the components selected in the designer. The designer creates an
// editor whenever it shows the property; an editor holds no state between those showings.
class TPropertyEditor {
public:
    TPropertyEditor(std::vector<TComponent*> components, TPublishedProperty property);
    virtual ~TPropertyEditor();
    TPropertyEditor(const TPropertyEditor&) = delete;
    TPropertyEditor& operator=(const TPropertyEditor&) = delete;

    virtual TPropertyAttributes GetAttributes() const;
    // Offers the drop-down entries through the callback, one call per entry. None by default.
    virtual void GetValues(const TGetStrProc& proc);
    // The value of the first selected component as text.
    virtual std::string GetValue() const = 0;
    // Writes the value to every selected component.
    virtual void SetValue(const std::string& value) = 0;
    // True when every selected component holds the same value.
    virtual bool AllEqual() const = 0;
    // The longest text the designer lets the user type; 0 for no limit.
    virtual int GetEditLimit() const;

    // The component being edited at `index`; index 0 is the first of the selection. Throws
    // std::out_of_range outside 0..PropCount() - 1.
    TComponent* GetComponent(int index) const;
    // Number of components being edited.
    int PropCount() const { return static_cast<int>(components_.size()); }
    const std::string& GetName() const { return property_.name; }

protected:
    const TPublishedProperty& Property() const { return property_; }

private:
    std::vector<TComponent*> components_;
    TPublishedProperty property_;
};

// Edits a string property as plain text.
class TStringProperty : public TPropertyEditor {
public:
    using TPropertyEditor::TPropertyEditor;

    TPropertyAttributes GetAttributes() const override;
    std::string GetValue() const override;
    void SetValue(const std::string& value) override;
    bool AllEqual() const override;
    // Strings of the package's components are limited to 255 characters in the designer.
    int GetEditLimit() const override;
};

// A property editor class as the designer knows it: its name and a factory.
class TPropertyEditorClass {
public:
    template <class E>
    static TPropertyEditorClass Of(std::string name)
    {
        return TPropertyEditorClass(
            std::move(name),
            [](std::vector<TComponent*> components, TPublishedProperty property)
                -> std::unique_ptr<TPropertyEditor> {
                return std::make_unique<E>(std::move(components), std::move(property));
            });
    }

    const std::string& Name() const { return name_; }
    std::unique_ptr<TPropertyEditor> Create(std::vector<TComponent*> components,
                                            TPublishedProperty property) const
    {
        return create_(std::move(components), std::move(property));
    }

private:
    using Factory = std::unique_ptr<TPropertyEditor> (*)(std::vector<TComponent*>,
                                                         TPublishedProperty);
    TPropertyEditorClass(std::string name, Factory create)
        : name_(std::move(name)), create_(create)
    {
    }

    std::string name_;
    Factory create_;
};

// --- Registration, as a package's Register routine calls it

// Puts the classes on the named palette page, after those already there. A class already on
// the page keeps its place, so registering a package twice changes nothing.
void RegisterComponents(const std::string& page, const std::vector<TComponentClass>& classes);

// Attaches an editor to the property of the given type and name on the component class and
// its descendants. Registering the same property type, class and name again replaces the
// editor.
void RegisterPropertyEditor(std::type_index propertyType, const TComponentClass& componentClass,
                            const std::string& propertyName, TPropertyEditorClass editorClass);

// --- What the designer reads back

// The palette pages in the order of their first registration.
std::vector<std::string> PalettePages();
// The classes on a page in registration order; empty for an unknown page.
std::vector<TComponentClass> PaletteClasses(const std::string& page);

// The editor class registered for a property of this type and name on the component's class
// or on a class it descends from; null when none is. When several registrations match, the
// latest wins.
const TPropertyEditorClass* FindPropertyEditor(std::type_index propertyType,
                                               const TComponent& component,
                                               const std::string& propertyName);

// The editor the designer shows for the property of the selected components, or null when it
// offers none: no component selected, no editor registered for one of them, different editors
// for different components, or a selection of several components for an editor without
// paMultiSelect.
std::unique_ptr<TPropertyEditor> CreatePropertyEditor(const std::vector<TComponent*>& selection,
                                                      const TPublishedProperty& property);

// The drop-down list as the designer presents it: the entries that GetValues offers, sorted
// alphabetically (ignoring case) when the editor asks for paSortList; empty when the editor
// has no paValueList.
std::vector<std::string> ValueList(TPropertyEditor& editor);

// Forgets every registration. For a designer that reloads its packages.
void ClearDesignRegistry();

} // namespace zel
