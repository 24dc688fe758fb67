#pragma once

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <type_traits>

// Typed values taken from a fuzz input, with the byte layout of libFuzzer's data provider
// (whole numbers from the end, strings from the front, "\" ending a string), so the seeds of
// the targets that use it mean the same under libFuzzer and under the replay of the test
// builds, where that provider's header is not installed.
namespace quillmere::fuzz {

class FuzzInput
{
public:
    FuzzInput(const std::uint8_t *data, std::size_t size) : m_data(data), m_remaining(size) {}

    std::size_t remainingBytes() const { return m_remaining; }

    // A value in [min, max] from as many bytes at the end as the range needs (min when none
    // are left).
    template<typename T>
    T consumeIntegralInRange(T min, T max)
    {
        static_assert(std::is_integral_v<T> && sizeof(T) <= sizeof(std::uint64_t));
        if (min > max)
            std::abort();
        const std::uint64_t range = std::uint64_t(max) - std::uint64_t(min);
        std::uint64_t result = 0;
        std::size_t offset = 0;
        while (offset < sizeof(T) * CHAR_BIT && (range >> offset) > 0 && m_remaining != 0) {
            --m_remaining;
            result = (result << CHAR_BIT) | m_data[m_remaining];
            offset += CHAR_BIT;
        }
        if (range != std::numeric_limits<std::uint64_t>::max())
            result = result % (range + 1);
        return T(std::uint64_t(min) + result);
    }

    template<typename T>
    T consumeIntegral()
    {
        return consumeIntegralInRange(std::numeric_limits<T>::min(), std::numeric_limits<T>::max());
    }

    bool consumeBool() { return 1 & consumeIntegral<std::uint8_t>(); }

    // Any finite value of T, spread over its whole range.
    template<typename T>
    T consumeFloatingPoint()
    {
        static_assert(std::is_floating_point_v<T>);
        constexpr T min = std::numeric_limits<T>::lowest();
        constexpr T max = std::numeric_limits<T>::max();
        // The range does not fit in T: one bit picks its half.
        const T range = max / 2.0 - min / 2.0;
        T result = min;
        if (consumeBool())
            result += range;
        return result + range * consumeProbability<T>();
    }

    // Up to maxLength bytes from the front; "\" followed by anything but "\" ends the string,
    // "\\" is one backslash.
    std::string consumeRandomLengthString(std::size_t maxLength)
    {
        std::string result;
        for (std::size_t i = 0; i < maxLength && m_remaining != 0; ++i) {
            char next = char(m_data[0]);
            advance(1);
            if (next == '\\' && m_remaining != 0) {
                next = char(m_data[0]);
                advance(1);
                if (next != '\\')
                    break;
            }
            result += next;
        }
        return result;
    }

    std::string consumeRemainingBytesAsString()
    {
        std::string result(reinterpret_cast<const char *>(m_data), m_remaining);
        advance(m_remaining);
        return result;
    }

    template<typename T, std::size_t size>
    T pickValueInArray(const T (&array)[size])
    {
        static_assert(size > 0);
        return array[consumeIntegralInRange<std::size_t>(0, size - 1)];
    }

private:
    template<typename T>
    T consumeProbability()
    {
        using Whole = std::conditional_t<(sizeof(T) <= sizeof(std::uint32_t)), std::uint32_t, std::uint64_t>;
        return T(consumeIntegral<Whole>()) / T(std::numeric_limits<Whole>::max());
    }

    void advance(std::size_t count)
    {
        m_data += count;
        m_remaining -= count;
    }

    const std::uint8_t *m_data;
    std::size_t m_remaining;
};

} // namespace quillmere::fuzz
