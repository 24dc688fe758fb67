#pragma once

// Getter and setter of one stored field of a RecordOf<Self, Data> record; the field's index
// in Field is its column and its bit in the dirty mask.
#define QUILLMERE_FIELD(Type, name, setter)                                                        \
    const Type &name() const { return m_d.name; }                                                  \
    void setter(Type value) { write(int(Field::name), &Data::name, std::move(value)); }
