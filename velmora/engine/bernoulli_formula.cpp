#include "velmora/engine/bernoulli_formula.h"

#include "velmora/engine/decimal_text.h"
#include "velmora/engine/error_key.h"
#include "velmora/engine/input_manager.h"
#include "velmora/engine/engine_texts.h"
#include "velmora/engine/number_format.h"

namespace velmora {

namespace {

const std::string kRed = "\\color{#ff3333}";
const std::string kGreen = "\\color{#009900}";

std::string bold(const std::string& title) {
    return title + "#bold";
}

std::string latex(const Digit& digit) {
    return formatNumberForLatex(digit, "", 0, false, false, 10, OutOfRange::scientific);
}

std::string number(double value) {
    return formatNumber("", {}, "", 10, true, false, value, OutOfRange::scientific);
}

std::string colored(const std::string& color, const std::string& content) {
    return color + "{" + content + "}";
}

bool isWhole(const Digit& digit) {
    auto exact = exactValue(digit);
    return exact && exact->get_den() == 1;
}

bool outsideUnitInterval(const Digit& p) {
    if (auto exact = exactValue(p)) return *exact < 0 || *exact > 1;
    double value = p.value().value_or(0);
    return value < 0 || value > 1;
}

// Every text the steps show, each computed once.
struct StepTexts {
    std::string k, n, p, nk, q, c, pk, qnk, cpk, r, rp, rd, rel;
};

// The solution after the given values: each part of the formula first in
// red, then replaced by its value in green.
std::vector<SolutionStep> solutionSteps(const StepTexts& t) {
    const std::string binom = "\\binom{" + t.n + "}{" + t.k + "}";
    const std::string pPower = t.p + "^{" + t.k + "}";
    const std::string call = "(" + t.n + ", " + t.p + ", X=" + t.k + ")";
    const std::string& insert = LocalizedString::insert();
    const std::string& result = LocalizedString::result();
    return {
        makeStep(bold(LocalizedString::quickSolution()),
                 "P(" + t.n + ", " + t.p + ",  X=" + t.k + ") " + t.rel + " " + t.r + " \\; \\hat{=} \\; " + t.rp),
        makeStep("", ""),
        makeStep(bold(LocalizedString::fullSolution()),
                 "P(n, p, X=k) = \\binom{n}{k} \\cdot p^k \\cdot (1-p)^{n-k}"),
        makeStep(insert, "P" + call + " = " + binom + " \\cdot " + pPower + " \\cdot (1-" + t.p + ")^{" + t.n + "-" + t.k + "}"),
        makeStep(LocalizedString::calculate(),
                 "= " + binom + " \\cdot " + pPower + " \\cdot (1-" + t.p + ")^{" + colored(kRed, t.n + "-" + t.k) + "}"),
        makeStep("", "= " + binom + " \\cdot " + pPower + " \\cdot (1-" + t.p + ")^{" + colored(kGreen, t.nk) + "}"),
        makeStep("", "= " + binom + " \\cdot " + pPower + " \\cdot " + colored(kRed, "(1-" + t.p + ")") + "^{" + t.nk + "}"),
        makeStep("", "= " + binom + " \\cdot " + pPower + " \\cdot " + colored(kRed, "(" + t.q + ")") + "^{" + t.nk + "}"),
        makeStep("", "= " + binom + " \\cdot " + pPower + " \\cdot " + colored(kGreen, t.q) + "^{" + t.nk + "}"),
        makeStep("", "= " + colored(kRed, binom) + " \\cdot " + pPower + " \\cdot " + t.q + "^{" + t.nk + "}"),
        makeStep("", "= " + colored(kGreen, t.c) + " \\cdot " + pPower + " \\cdot " + t.q + "^{" + t.nk + "}"),
        makeStep("", "= " + t.c + " \\cdot " + colored(kRed, pPower) + " \\cdot " + t.q + "^{" + t.nk + "}"),
        makeStep("", "= " + t.c + " \\cdot " + colored(kGreen, t.pk) + " \\cdot " + t.q + "^{" + t.nk + "}"),
        makeStep("", "= " + t.c + " \\cdot " + t.pk + " \\cdot " + colored(kRed, t.q + "^{" + t.nk + "}")),
        makeStep("", "= " + t.c + " \\cdot " + t.pk + " \\cdot " + colored(kGreen, t.qnk)),
        makeStep("", "= " + colored(kRed, t.c + " \\cdot " + t.pk) + " \\cdot " + t.qnk),
        makeStep("", "= " + colored(kGreen, t.cpk) + " \\cdot " + t.qnk),
        makeStep("", "= " + colored(kRed, t.cpk + " \\cdot " + t.qnk)),
        makeStep("", t.rel + " " + colored(kGreen, t.rd)),
        makeStep(result, "P" + call + " " + t.rel + " " + t.rd),
        makeStep("", ""),
        makeStep(LocalizedString::choosenFormula(), "P\\%(n, p, X=k) = P(n, p, X=k) \\cdot 100\\%"),
        makeStep(insert, "P\\%" + call + " = P" + call + " \\cdot 100\\%"),
        // P% shares the rounding of P, so it shares its relation sign too.
        makeStep("", "P\\%" + call + " " + t.rel + " " + t.r + " \\cdot 100\\%"),
        makeStep(result, "P\\%" + call + " " + t.rel + " " + t.rp),
        makeStep("", ""),
    };
}

}  // namespace

KuvoBernoulliFormula::KuvoBernoulliFormula()
    : operation(&KuvoMathOperation::shared()), output(&KuvoStringOutput::shared()) {}

BernoulliResult KuvoBernoulliFormula::validateAndCalculate(const std::optional<std::string>& kText,
                                                           const std::string& kId,
                                                           const std::optional<std::string>& nText,
                                                           const std::string& nId,
                                                           const std::optional<std::string>& pText,
                                                           const std::string& pId,
                                                           std::optional<int> requiredInputCount) {
    // Whatever the outcome, the next calculation starts without fraction mode.
    struct FractionModeOff {
        KuvoMathOperation* operation;
        ~FractionModeOff() { operation->withFraction = false; }
    } fractionModeOff{operation};
    probability_.reset();

    const std::vector<std::string> ids = {kId, nId, pId};
    KuvoInputManager manager;
    InputReadResult read = manager.readInputs({kText.value_or(""), nText.value_or(""), pText.value_or("")}, {}, ids,
                                              {kBernoulliInputFormat}, true, false, false, FormatMode::formula, "",
                                              "", requiredInputCount, {});
    BernoulliResult result;
    if (read.errorKey) {
        result.errorKey = read.errorKey;
        result.failingFieldIds = read.failingIds.value_or(std::vector<std::string>{});
        return result;
    }
    allInputs = *read.inputs;
    if (auto refusal = checkInputs(ids)) {
        result.errorKey = refusal->key;
        result.failingFieldIds = refusal->ids;
        return result;
    }
    buildSolutionSteps();
    std::vector<ChartList> charts;
    using Builder = std::optional<ChartList> (KuvoBernoulliFormula::*)();
    for (Builder build : {&KuvoBernoulliFormula::buildHistogramData, &KuvoBernoulliFormula::buildDistributionFunctionData,
                          &KuvoBernoulliFormula::buildTreeChartData}) {
        if (auto chart = (this->*build)()) charts.push_back(*chart);
    }
    result.solutionSteps = output->solutionSteps;
    // The input reading has written the given values, so there is a first step.
    const SolutionStep& first = output->solutionSteps.front();
    const auto line = first.find("latexString");
    result.summaryLatex = line == first.end() ? std::string() : line->second;
    result.chartData = charts;
    return result;
}

std::optional<KuvoBernoulliFormula::Refusal> KuvoBernoulliFormula::checkInputs(const std::vector<std::string>& ids) {
    // With fewer required fields than three an input may have no number;
    // the formula needs all three.
    std::vector<std::string> missing;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        if (!numberAt(i)) missing.push_back(ids[i]);
    }
    if (!missing.empty()) return Refusal{"notEnoughInputValues", missing};
    for (std::size_t i = 0; i < ids.size(); ++i) {
        if (allInputs[i].hasVariables()) return Refusal{"inputParameterError", {ids[i]}};
    }
    // k and n count trials and successes: whole numbers only.
    if (!isWhole(allInputs[0])) return Refusal{"mustBeWholeNumber", {ids[0]}};
    if (!isWhole(allInputs[1])) return Refusal{"mustBeWholeNumber", {ids[1]}};
    return checkLimits(ids);
}

std::optional<KuvoBernoulliFormula::Refusal> KuvoBernoulliFormula::checkLimits(const std::vector<std::string>& ids) {
    const mpq_class k = *exactValue(allInputs[0]);
    const mpq_class n = *exactValue(allInputs[1]);
    const std::string bound = std::to_string(kBernoulliMaxTrials);
    if (k > kBernoulliMaxTrials) return Refusal{makeErrorKey("mustBeLessThanX", {bound}), {ids[0]}};
    if (n > kBernoulliMaxTrials) return Refusal{makeErrorKey("mustBeLessThanX", {bound}), {ids[1]}};
    operation->withFraction = false;
    if (n <= 0) return Refusal{makeErrorKey("mustBeGreatherThanX", {"0"}), {ids[1]}};
    if (k < 0) return Refusal{"mustNotBeNegative", {ids[0]}};
    if (n < k) return Refusal{"binomialCoefficientKBiggerThanN", {ids[0], ids[1]}};
    if (outsideUnitInterval(allInputs[2])) {
        return Refusal{makeErrorKey("mustBeBiggerThanXAndLessThanY", {"0", "1"}), {ids[2]}};
    }
    return std::nullopt;
}

const Digit* KuvoBernoulliFormula::numberAt(std::size_t index) const {
    if (index >= allInputs.size() || !allInputs[index].z) return nullptr;
    return &allInputs[index];
}

std::optional<long> KuvoBernoulliFormula::countAt(std::size_t index) const {
    const Digit* digit = numberAt(index);
    if (!digit || !isWhole(*digit)) return std::nullopt;
    const mpq_class value = *exactValue(*digit);
    if (value < 0 || value > kBernoulliMaxTrials) return std::nullopt;
    return value.get_num().get_si();
}

std::optional<KuvoBernoulliFormula::Inputs> KuvoBernoulliFormula::validInputs() const {
    auto k = countAt(0);
    auto n = countAt(1);
    const Digit* p = numberAt(2);
    if (!k || !n || !p || *n < 1 || *k > *n || p->hasVariables() || outsideUnitInterval(*p)) return std::nullopt;
    return Inputs{*k, *n, *p};
}

const std::vector<BernoulliProbability>& KuvoBernoulliFormula::distribution(long n, const Digit& p) {
    if (!distribution_ || distribution_->n != n || !(distribution_->p == p)) {
        distribution_ = Distribution{n, p, operation->bernoulliDistribution(n, 5, p)};
    }
    return distribution_->values;
}

void KuvoBernoulliFormula::buildSolutionSteps() {
    auto inputs = validInputs();
    if (!inputs) return;
    const Digit& k = allInputs[0];
    const Digit& n = allInputs[1];
    const Digit& p = inputs->p;
    // One probability for every step: the quick line and the result agree.
    const BernoulliProbability probability = distribution(inputs->n, p)[static_cast<std::size_t>(inputs->k)];
    probability_ = probability;

    Digit one;
    one.z = 1;
    const Digit nk = *operation->fractionSubtractionSteps(n, k).result;
    const Digit q = *operation->fractionSubtractionSteps(one, p).result;
    const BinomialCoefficient coefficient = operation->binomialCoefficient(inputs->k, inputs->n);
    const double c = decimal::nearestDouble(coefficient.value);
    const Digit pk = operation->power(p, static_cast<double>(inputs->k));
    const Digit qnk = operation->power(q, static_cast<double>(inputs->n - inputs->k));

    StepTexts t;
    t.k = latex(k);
    t.n = latex(n);
    t.p = latex(p);
    t.nk = latex(nk);
    t.q = latex(q);
    t.c = number(c);
    t.pk = latex(pk);
    t.qnk = latex(qnk);
    t.cpk = number(c * pk.value().value_or(0));
    t.r = probability.valueText;
    t.rp = probability.percentageText;
    t.rd = decimal::descriptionText(probability.value);
    t.rel = probability.approximate ? "\\approx" : "=";
    for (auto& step : solutionSteps(t)) output->solutionSteps.push_back(std::move(step));
}

}  // namespace velmora
