#include "rux/item/ItemFormat.h"

namespace rux {
namespace {

class Parser {
public:
    Parser(const char* format, va_list* args) : at_(format), args_(args) {}

    ItemPtr Parse()
    {
        ItemPtr item = Value(1);
        if (item && Next() != '\0')
            return nullptr;
        return item;
    }

private:
    // The next character that is not a blank, consumed.
    char Next()
    {
        while (*at_ == ' ' || *at_ == '\t' || *at_ == '\r' || *at_ == '\n')
            ++at_;
        return *at_ ? *at_++ : '\0';
    }

    char Peek()
    {
        const char* save = at_;
        char c = Next();
        at_ = save;
        return c;
    }

    ItemPtr Value(int depth)
    {
        if (depth > MaxItemDepth)
            return nullptr;
        switch (Next()) {
        case 's': {
            const char* text = va_arg(*args_, const char*);
            return text ? ItemNode::MakeString(text) : nullptr;
        }
        case 'i':
            return ItemNode::MakeInt(static_cast<int32_t>(va_arg(*args_, int)));
        case 'b':
            return ItemNode::MakeBool(va_arg(*args_, int) != 0);
        case '{':
            return Assoc(depth);
        default:
            return nullptr;
        }
    }

    ItemPtr Assoc(int depth)
    {
        ItemPtr assoc = ItemNode::MakeAssoc();
        if (Peek() == '}') {
            Next();
            return assoc;
        }
        for (;;) {
            if (Next() != 's')
                return nullptr;
            const char* key = va_arg(*args_, const char*);
            if (Next() != ':')
                return nullptr;
            ItemPtr value = Value(depth + 1);
            if (!key || !value || assoc->members.size() >= MaxAssocMembers)
                return nullptr;
            assoc->members.emplace_back(ItemNode::MakeString(key), std::move(value));
            char c = Next();
            if (c == '}')
                return assoc->IndexKeys() ? assoc : nullptr;
            if (c != ',')
                return nullptr;
        }
    }

    const char* at_;
    va_list* args_;
};

}  // namespace

ItemPtr ItemFormat::Build(const char* format, va_list args)
{
    if (!format)
        return nullptr;
    va_list copy;
    va_copy(copy, args);
    ItemPtr item = Parser(format, &copy).Parse();
    va_end(copy);
    return item;
}

}  // namespace rux
