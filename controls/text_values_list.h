#pragma once
#include <QString>
#include <cmath>
#include <type_traits>
#include <vector>

namespace MyValueSpin {

// The numbers that a spin edit shows as words. Records stay in the order they were added,
// so when two records match a number, the older one wins.
template <typename T>
class TTextValuesList {
public:
    struct TextWertStruct {
        T Value;
        QString Text; // never empty while the record is in the list
    };

    int Count() const { return static_cast<int>(records_.size()); }

    const TextWertStruct &At(int index) const { return records_.at(static_cast<size_t>(index)); }

    // The word of the first record that matches v, or an empty string.
    QString TextOf(T v) const
    {
        for (const TextWertStruct &record : records_) {
            if (Matches(record.Value, v))
                return record.Text;
        }
        return {};
    }

    // Sets, replaces or (with an empty text) removes the word of exactly this value.
    void PutText(T value, const QString &text)
    {
        for (auto it = records_.begin(); it != records_.end(); ++it) {
            if (it->Value != value)
                continue;
            if (text.isEmpty())
                records_.erase(it);
            else
                it->Text = text;
            return;
        }
        if (!text.isEmpty())
            records_.push_back({value, text});
    }

private:
    // Decimal values pass through text and arithmetic, so a word must still be found for a
    // value that came back a few rounding errors away from the one it was given for.
    static constexpr double kMatchTolerance = 0.000001;

    static bool Matches(T recorded, T v)
    {
        if constexpr (std::is_integral_v<T>)
            return recorded == v;
        else
            return std::abs(recorded - v) < kMatchTolerance;
    }

    std::vector<TextWertStruct> records_;
};

} // namespace MyValueSpin
