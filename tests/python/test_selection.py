"""The selection defaults: repeated text seen at any offset, calibration that keeps order and
stays finite, clause splitting, and the solve problem they build."""
from __future__ import annotations

import re

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import torvane
import torvane_solver as ts

_WORD = re.compile(rb"[0-9A-Za-z_\x80-\xff]+")
_OFFSET, _PRIME, _MASK = 0xCBF29CE484222325, 0x100000001B3, (1 << 64) - 1


def reference_shingles(text: str, size: int) -> set[int]:
    """Shingle hashes by the documented rule, written plainly in Python."""
    words = []
    for w in _WORD.findall(text.encode("utf-8", "surrogatepass").lower()):
        h = _OFFSET
        for byte in w:
            h = ((h ^ byte) * _PRIME) & _MASK
        words.append(h)
    if not words:
        return set()
    width = min(size, len(words))
    out = set()
    for start in range(len(words) - width + 1):
        h = _OFFSET
        for w in words[start:start + width]:
            h = ((h ^ w) * _PRIME) & _MASK
        out.add(h)
    return out


def reference_similarity(texts: list[str], size: int = 5, jaccard: bool = False) -> np.ndarray:
    sets = [reference_shingles(t, size) for t in texts]
    n = len(texts)
    out = np.zeros((n, n), np.float32)
    for i in range(n):
        for j in range(n):
            common = len(sets[i] & sets[j])
            if i != j and common:
                denom = len(sets[i] | sets[j]) if jaccard else min(len(sets[i]), len(sets[j]))
                out[i, j] = np.float32(common / denom)
    return out


PASSAGE = ("The with statement is used to wrap the execution of a block with methods defined by a "
           "context manager. This allows common try except finally usage patterns to be encapsulated.")


class TestShingleSimilarity:
    def test_repeated_text_is_found_at_any_offset(self):
        texts = [PASSAGE, "Something else comes first. " + PASSAGE.upper() + " And more text after it.",
                 "Floating point literals may carry an exponent, as in 1e-3 or 2.5E10, in any source file."]
        sim = torvane.shingle_similarity(texts)
        assert sim.dtype == np.float32 and sim.shape == (3, 3)
        assert sim[0, 1] == sim[1, 0] == 1.0
        assert not sim[2].any() and not sim[:, 2].any()
        assert not np.diag(sim).any()
        jac = torvane.shingle_similarity(texts, measure="jaccard")
        assert 0.0 < jac[0, 1] < 1.0

    def test_sliding_windows_overlap_by_their_shared_share(self):
        words = [f"w{i}" for i in range(240)]
        windows = [" ".join(words[s:s + 120]) for s in (0, 60, 120)]
        sim = torvane.shingle_similarity(windows)
        # 60 shared words make 56 shared 5-word shingles out of 116.
        assert sim[0, 1] == sim[1, 2] == np.float32(56 / 116)
        assert sim[0, 2] == 0.0

    @settings(max_examples=60, deadline=None)
    @given(st.lists(st.text(alphabet=st.sampled_from(list("ab cd,EF\u00e9\u4e2d\n_9.")), max_size=60), max_size=6),
           st.integers(1, 6), st.booleans())
    def test_native_matches_the_plain_rule(self, texts, size, jaccard):
        got = torvane.shingle_similarity(texts, size, "jaccard" if jaccard else "containment")
        np.testing.assert_array_equal(got, reference_similarity(texts, size, jaccard))

    def test_matches_on_real_text(self):
        from pydoc_data.topics import topics

        texts = [t for _, t in sorted(topics.items())][:40]
        texts += [t[len(t) // 3:] for t in texts[:10]]
        np.testing.assert_array_equal(torvane.shingle_similarity(texts), reference_similarity(texts))

    def test_bad_arguments(self):
        with pytest.raises(ValueError, match="measure"):
            torvane.shingle_similarity(["a"], measure="cosine")
        with pytest.raises(ValueError, match="size"):
            torvane.shingle_similarity(["a"], size=0)
        with pytest.raises(TypeError, match="single str"):
            torvane.shingle_similarity("a text")
        with pytest.raises(TypeError, match=r"texts\[1\] must be str"):
            torvane.shingle_similarity(["a", b"b"])
        assert torvane.shingle_similarity([]).shape == (0, 0)
        assert torvane.shingle_similarity(["\ud800 lone surrogate"]).shape == (1, 1)

    def test_ascii_and_other_strs_read_alike(self):
        # ASCII strs are read in place, others encoded: the same words must hash alike, also
        # through a str subclass, and a pair counted once stays symmetric.
        class Text(str):
            pass

        words = " ".join(f"word{i}" for i in range(30))
        texts = [words, words + " caf\u00e9", Text("intro " + words), "\u4e2d " + words[:60]]
        sim = torvane.shingle_similarity(texts)
        np.testing.assert_array_equal(sim, reference_similarity(texts))
        np.testing.assert_array_equal(sim, sim.T)
        assert sim[0, 1] == sim[0, 2] == 1.0


finite_or_not = st.floats(allow_nan=True, allow_infinity=True, width=32)


class TestCalibration:
    @settings(max_examples=200, deadline=None)
    @given(st.lists(finite_or_not, max_size=30), st.sampled_from([None, 0.02, 0.1, 1.0]),
           st.sampled_from([None, 0.0, 0.25, 5.0]))
    def test_order_preserving_and_finite_on_any_input(self, scores, temperature, floor):
        out = torvane.calibrate_relevance(scores, temperature, floor)
        assert out.dtype == np.float32 and out.shape == (len(scores),)
        assert np.isfinite(out).all()
        # NaN ranks with negative infinity, below every number.
        key = np.nan_to_num(np.asarray(scores, np.float64), nan=-np.inf)
        order = np.argsort(key, kind="stable")
        assert (np.diff(out[order].astype(np.float64)) >= 0).all()

    def test_special_inputs(self):
        assert torvane.calibrate_relevance([]).shape == (0,)
        np.testing.assert_array_equal(torvane.calibrate_relevance([0.3, 0.3, 0.3]), [1, 1, 1])
        out = torvane.calibrate_relevance([np.inf, 0.5, np.nan, -np.inf], floor=None)
        assert out[0] == 1.0 and (out[1:] == out[1:].min()).all()
        best, near, far = torvane.calibrate_relevance([0.8, 0.7, 0.4], temperature=0.1, floor=0.25)
        assert best == 1.0 and near == np.float32(np.exp(-1.0)) and far < 0
        with pytest.raises(ValueError):
            torvane.calibrate_relevance([1.0], temperature=0.0)
        with pytest.raises(ValueError):
            torvane.calibrate_relevance([1.0], floor=-1.0)

    def test_per_token_weighs_by_length(self):
        out = torvane.calibrate_relevance([0.5, 0.5], floor=None, token_counts=[100, 300])
        np.testing.assert_allclose(out, [0.5, 1.5])
        with pytest.raises(ValueError, match="token_counts"):
            torvane.calibrate_relevance([0.5, 0.5], token_counts=[1])


class TestAspects:
    def test_split_aspects(self):
        assert torvane.split_aspects("how do I catch an exception and raise a different one") == [
            "how do I catch an exception", "raise a different one"]
        assert torvane.split_aspects("how do I use a for loop") == []
        assert torvane.split_aspects("read a file, then parse it; also log errors") == [
            "read a file", "parse it", "log errors"]
        assert torvane.split_aspects("") == []
        # A part too short to be a clause joins the one after it; after "with", or at the end,
        # the one before.
        assert torvane.split_aspects("hex literals, and floats with an exponent") == [
            "hex literals", "floats with an exponent"]
        assert torvane.split_aspects("first, *rest = xs: what ends up in rest?") == []
        assert torvane.split_aspects("first, *rest = xs. what ends up in rest?") == [
            "first, *rest = xs.", "what ends up in rest?"]
        assert torvane.split_aspects("write a generator with yield and loop over it") == [
            "write a generator yield", "loop over it"]
        assert torvane.split_aspects("what is the difference between append and extend") == []
        assert torvane.split_aspects("print 1,234,567.89 rounded, and pad it to ten places") == [
            "print 1,234,567.89 rounded", "pad it to ten places"]

    def test_split_aspects_at_a_relative_clause(self):
        # "that" before a verb in the present opens a clause that asks for more ...
        assert torvane.split_aspects("how do I write a loop that repeats while a condition holds") == [
            "how do I write a loop", "repeats while a condition holds"]
        assert torvane.split_aspects("a class THAT inherits from object, and its tests") == [
            "a class", "inherits from object", "its tests"]
        # ... a determiner, a pronoun or a plain "that" clause does not.
        for question in ("when does that else run", "how do I check that a value is None",
                         "make sure that this works", "a value that its owner sets", "is that so"):
            assert torvane.split_aspects(question) == [], question

    def test_split_aspects_at_what_a_task_is_done_with(self):
        assert torvane.split_aspects("how do I sort a list using a lambda as the key") == [
            "how do I sort a list", "a lambda as the key"]
        assert torvane.split_aspects("build a dict With a comprehension, then merge it") == [
            "build a dict", "a comprehension", "merge it"]
        # "with" that names the statement stays inside its clause.
        assert torvane.split_aspects("how does the with statement close my file") == []
        assert torvane.split_aspects("a class usable in a with block and also in async with") == [
            "a class usable in a with block", "in async with"]
        assert torvane.split_aspects("write a context manager for with statements") == []

    def test_split_aspects_at_a_new_sentence(self):
        assert torvane.split_aspects("What does a generator return? Is yield from allowed in an async def?") == [
            "What does a generator return?", "Is yield from allowed in an async def?"]
        assert torvane.split_aspects("-7 // 2 gives -4 in python. what are the rules for // on negatives") == [
            "-7 // 2 gives -4 in python.", "what are the rules for // on negatives"]
        # An ellipsis, a dot inside a name or a number, and "e.g." / "vs." start no sentence.
        for question in ("what do three dots ... mean as a value", "how is obj.attr looked up in a class",
                         "write 1.5e-3 in code", "call a builtin e.g. len on it", "list vs. tuple speed"):
            assert torvane.split_aspects(question) == [], question

    def test_split_aspects_keeps_code_and_quotations_whole(self):
        assert torvane.split_aspects("split 'a,b,c' on commas and then unpack the pieces") == [
            "split 'a,b,c' on commas", "unpack the pieces"]
        assert torvane.split_aspects("does `not` bind tighter than `and`, and where does `or` come in") == [
            "does `not` bind tighter than `and`", "where does `or` come in"]
        assert torvane.split_aspects('call f(g(a, b), {1, 2}) on "x, y" and then print it') == [
            'call f(g(a, b), {1, 2}) on "x, y"', "print it"]
        # Apostrophes inside words quote nothing.
        assert torvane.split_aspects("why can't exec see my function's names, and how do I fix it") == [
            "why can't exec see my function's names", "how do I fix it"]

    def test_coverage_rewards_each_clause_best(self):
        vecs = np.eye(4, dtype=np.float32)
        cov, weights = torvane.aspect_coverage(vecs, np.array([[1, 0, 0, 0], [0, 0, 1, 0]], np.float32))
        assert cov.shape == (2, 4) and cov[0, 0] == cov[1, 2] == 1.0
        assert cov[0, 1] == cov[1, 0] == 0.0
        np.testing.assert_allclose(weights, [0.5, 0.5])


class TestPieces:
    def test_split_pieces_cover_long_texts_with_overlapping_windows(self):
        long = " ".join(f"w{k}" for k in range(11))
        pieces, owners = torvane.split_pieces(["short text", long, "x " * 4, long + " end"], words=4)
        # Windows of 4 words every 2 words; the last one ends at the text's last word.
        assert pieces[:5] == ["w0 w1 w2 w3", "w2 w3 w4 w5", "w4 w5 w6 w7", "w6 w7 w8 w9", "w8 w9 w10"]
        assert owners == [1] * 5 + [3] * 5 and pieces[-1] == "w8 w9 w10 end"
        assert torvane.split_pieces(["a b c d", ""], words=4) == ([], [])
        for bad in (1, 0, True, 2.5):
            with pytest.raises(ValueError, match="words must be a whole number of at least 2"):
                torvane.split_pieces([long], words=bad)
        with pytest.raises(TypeError, match="not a single str"):
            torvane.split_pieces(long)
        with pytest.raises(TypeError, match=r"texts must hold str, not int \(at position 1\)"):
            torvane.split_pieces(["a", 3])

    def test_a_long_text_is_rated_by_its_best_piece(self):
        # Text 1's own embedding (what a model reads of its start) is off the question; one of
        # its pieces is on it. Its cosine becomes the mean of the two; other texts keep theirs.
        texts = ["a b c", "d e f g h", "i j k"]
        vecs = np.array([[0.8, 0.6], [0.0, 1.0], [0.6, 0.8]], np.float32)
        pieces = np.array([[0, 1], [1, 0], [0, 3]], np.float32)     # unnormalised on purpose
        plain = torvane.build_problem(texts, vecs, [1, 0], [10, 10, 10], torvane.SelectionDefaults(floor=None))
        rated = torvane.build_problem(texts, vecs, [1, 0], [10, 10, 10], torvane.SelectionDefaults(floor=None),
                                      piece_embeddings=pieces, piece_owners=[1, 1, 1])
        expected = torvane.calibrate_relevance([0.8, 0.5, 0.6], 0.08, None)
        np.testing.assert_allclose(rated["relevance_scores"], expected, rtol=1e-6)
        assert plain["relevance_scores"][1] < rated["relevance_scores"][1]
        # No pieces, or pieces without a direction: the texts' own cosines.
        for embeddings, owners in (np.zeros((0, 2), np.float32), []), ([[np.nan, 0.0]], [1]):
            same = torvane.build_problem(texts, vecs, [1, 0], [10, 10, 10], torvane.SelectionDefaults(floor=None),
                                         piece_embeddings=embeddings, piece_owners=owners)
            np.testing.assert_array_equal(same["relevance_scores"], plain["relevance_scores"])
        for kwargs, message in ((dict(piece_embeddings=pieces), "give both or neither"),
                                (dict(piece_embeddings=pieces, piece_owners=[1, 1, 3]), "from 0 to 2"),
                                (dict(piece_embeddings=pieces, piece_owners=[1, 1]), "one row per piece owner"),
                                (dict(piece_embeddings=pieces, piece_owners=[0.5, 1, 1]), "1-D sequence of text")):
            with pytest.raises(ValueError, match=message):
                torvane.build_problem(texts, vecs, [1, 0], [10, 10, 10], **kwargs)


class TestBuildProblem:
    def test_problem_solves_and_drops_repeats(self):
        rng = np.random.default_rng(7)
        base = [" ".join(f"word{rng.integers(0, 10_000)}" for _ in range(60)) for _ in range(12)]
        texts = base + [base[0], "prefix " + base[1]]     # two repeats of relevant chunks
        vecs = rng.standard_normal((14, 16)).astype(np.float32)
        vecs[12], vecs[13] = vecs[0], vecs[1]
        query = vecs[0] + vecs[1]
        problem = torvane.build_problem(texts, vecs, query, np.full(14, 80, np.uint64))
        assert problem["similarity_matrix"][0, 12] == 1.0
        solver = ts.TabuSearchSolver(torvane.default_config())
        out = solver.solve_precomputed_numpy(**problem, constraints=ts.SolverConstraints(max_tokens=400))
        chosen = set(out.selected_indices)
        assert chosen & {0, 12} and not {0, 12} <= chosen
        assert chosen & {1, 13} and not {1, 13} <= chosen

    def test_a_copy_of_the_best_chunk_costs_more_than_it_brings(self):
        # The best chunk's copy (a mirror of the same page) has relevance 1 and repeats all of
        # the best chunk; a repeat weight of 1 would make it free, and a search that accepts
        # equal moves then sends it.
        rng = np.random.default_rng(3)
        texts = [" ".join(f"w{rng.integers(0, 5000)}" for _ in range(60)) for _ in range(6)]
        texts.append(texts[0])
        vecs = rng.standard_normal((7, 8)).astype(np.float32)
        vecs[6] = vecs[0]
        problem = torvane.build_problem(texts, vecs, vecs[0], np.full(7, 80, np.uint64))
        np.testing.assert_allclose(problem["relevance_scores"][[0, 6]], 1.0, rtol=1e-5)
        solver = ts.TabuSearchSolver(torvane.default_config())
        def objective(required: list[str]) -> float:
            constraints = ts.SolverConstraints(max_tokens=80 * len(required), required_chunks=required)
            return solver.solve_precomputed_numpy(**problem, constraints=constraints).objective_score
        assert objective(["chunk_0", "chunk_6"]) < objective(["chunk_0"]) - 0.1

    def test_filler_is_named_and_only_lowers_the_objective(self):
        # Many short chunks, a few on the question: the solve fills the budget with chunks below
        # the floor, which filler_chunks names; dropping them raises the objective.
        rng = np.random.default_rng(5)
        texts = [" ".join(f"w{rng.integers(0, 9000)}" for _ in range(20)) for _ in range(30)]
        vecs = rng.standard_normal((30, 16)).astype(np.float32)
        problem = torvane.build_problem(texts, vecs, vecs[0] + vecs[1], np.full(30, 20, np.uint64))
        filler = torvane.filler_chunks(problem)
        assert filler == [f"chunk_{i}" for i in np.flatnonzero(problem["relevance_scores"] < 0)]
        solver = ts.TabuSearchSolver(torvane.default_config())
        out = solver.solve_precomputed_numpy(**problem, constraints=ts.SolverConstraints(max_tokens=300))
        left = [f"chunk_{i}" for i in out.selected_indices if f"chunk_{i}" not in filler]
        assert len(left) < len(out.selected_indices)
        alone = solver.solve_precomputed_numpy(**problem, constraints=ts.SolverConstraints(
            max_tokens=20 * len(left), max_chunks=len(left), required_chunks=left))
        assert [f"chunk_{i}" for i in alone.selected_indices] == left and alone.objective_score > out.objective_score
        # A chunk with anything else to bring is no filler.
        first = int(filler[0].split("_")[1])
        for key in ("density_scores", "auxiliary_scores"):
            other = dict(problem, **{key: np.where(np.arange(30) == first, 0.5, 0.0).astype(np.float32)})
            assert filler[0] not in torvane.filler_chunks(other)
        coverage = np.zeros((2, 30), np.float32)
        coverage[1, first] = 0.3
        assert filler[0] not in torvane.filler_chunks(dict(problem, coverage_matrix=coverage))

    def test_each_clause_keeps_its_best_chunk(self):
        # Chunk 3 answers the second clause only: far below the whole question's best, it is
        # cut by the floor unless the clause's boost lifts it above every other chunk.
        texts = [f"topic {i} " + " ".join(f"t{i}w{k}" for k in range(40)) for i in range(6)]
        vecs = np.array([[1, 0, 0], [0.98, 0.2, 0], [0.97, 0.24, 0], [0.6, 0, 0.8], [0.9, 0.43, 0],
                         [0.2, 0.98, 0]], np.float32)
        clauses = np.array([[1, 0, 0], [0, 0, 1]], np.float32)
        costs = np.full(6, 100, np.uint64)
        plain = torvane.build_problem(texts, vecs, [1, 0.1, 0.1], costs)
        boosted = torvane.build_problem(texts, vecs, [1, 0.1, 0.1], costs, aspect_embeddings=clauses)
        assert plain["relevance_scores"][3] < 0 and "coverage_matrix" not in boosted
        assert boosted["relevance_scores"][3] == np.float32(1.5) and boosted["relevance_scores"][0] == np.float32(1.5)
        np.testing.assert_array_equal(np.delete(boosted["relevance_scores"], [0, 3]),
                                      np.delete(plain["relevance_scores"], [0, 3]))
        solver = ts.TabuSearchSolver(torvane.default_config())
        budget = ts.SolverConstraints(max_tokens=300)
        assert 3 not in solver.solve_precomputed_numpy(**plain, constraints=budget).selected_indices
        assert 3 in solver.solve_precomputed_numpy(**boosted, constraints=budget).selected_indices
        # A clause without a direction picks no chunk.
        blank = torvane.build_problem(texts, vecs, [1, 0.1, 0.1], costs,
                                      aspect_embeddings=np.array([[0, 0, 0], [np.nan, 0, 1]], np.float32))
        np.testing.assert_array_equal(blank["relevance_scores"], plain["relevance_scores"])
        # Switched off, the clauses change nothing; coverage through the solver stays available.
        off = torvane.build_problem(texts, vecs, [1, 0.1, 0.1], costs, torvane.SelectionDefaults(aspect_boost=None),
                                    aspect_embeddings=clauses)
        np.testing.assert_array_equal(off["relevance_scores"], plain["relevance_scores"])
        covered = torvane.build_problem(texts, vecs, [1, 0.1, 0.1], costs,
                                        torvane.SelectionDefaults(aspect_boost=None, aspect_weight=2.0),
                                        aspect_embeddings=clauses)
        assert covered["coverage_matrix"].shape == (2, 6) and covered["coverage_matrix"][1, 3] == 1.0
        np.testing.assert_allclose(covered["query_token_weights"], [1.0, 1.0])
        # A clause whose best chunk the whole question ranks far below its best (0.6 here) was
        # misread: no boost, unless the gate is off.
        far = vecs.copy()
        far[3] = [0.3, 0, 0.95]
        gated = torvane.build_problem(texts, far, [1, 0.1, 0.1], costs, aspect_embeddings=clauses)
        assert gated["relevance_scores"][3] < 0 and gated["relevance_scores"][0] == np.float32(1.5)
        ungated = torvane.build_problem(texts, far, [1, 0.1, 0.1], costs, torvane.SelectionDefaults(aspect_gate=None),
                                        aspect_embeddings=clauses)
        assert ungated["relevance_scores"][3] == np.float32(1.5)

    def test_each_clause_takes_a_chunk_of_its_own(self):
        words = [" ".join(f"c{i}w{k}" for k in range(30)) for i in range(4)]
        texts = [words[0], words[0] + " " + words[1], words[2], words[3]]   # 1 repeats all of 0
        vecs = np.array([[1, 0, 0], [0.95, 0.3, 0], [0.9, 0, 0.43], [0.8, 0.6, 0]], np.float32)
        costs = np.full(4, 40, np.uint64)
        # Both clauses are closest to chunk 0; the second takes the best chunk that does not
        # repeat it (2, not 1), a third the next one left.
        clauses = np.array([[1, 0, 0], [1, 0.1, 0.1], [1, 0.2, 0]], np.float32)
        rel = torvane.build_problem(texts, vecs, [1, 0, 0], costs, aspect_embeddings=clauses)["relevance_scores"]
        np.testing.assert_array_equal(rel == np.float32(1.5), [True, False, True, True])
        # Without a measure of repeated text only the chunk itself is held: the second clause
        # takes chunk 1.
        for measure in ("none", "embedding"):
            other = torvane.build_problem(texts, vecs, [1, 0, 0], costs, torvane.SelectionDefaults(measure=measure),
                                          aspect_embeddings=clauses[:2])["relevance_scores"]
            np.testing.assert_array_equal(other == np.float32(1.5), [True, True, False, False])

    def test_floor_is_wider_for_a_question_of_several_clauses(self):
        # Cosines with the query 1.0, 0.95 and 0.8: the last two sit 0.05 and 0.2 below the best.
        vecs = np.array([[1, 0], [0.95, np.sqrt(1 - 0.95 ** 2)], [0.8, 0.6]], np.float32)
        texts = ["a b c d e", "f g h i j", "k l m n o"]
        one = torvane.build_problem(texts, vecs, [1, 0], [10, 10, 10])["relevance_scores"]
        assert one[1] > 0 > one[2]
        several = torvane.build_problem(texts, vecs, [1, 0], [10, 10, 10],
                                        aspect_embeddings=np.array([[1, 0]], np.float32))
        assert several["relevance_scores"][2] > 0
        # The clause's best chunk is the first; the others keep the wider floor's values.
        wider = torvane.build_problem(texts, vecs, [1, 0], [10, 10, 10],
                                      torvane.SelectionDefaults(floor=0.25))["relevance_scores"]
        np.testing.assert_array_equal(wider[1:], several["relevance_scores"][1:])
        np.testing.assert_array_equal(one[:2], wider[:2])

    def test_raw_options_stay_available(self):
        texts = ["alpha beta gamma delta epsilon", "zeta eta theta iota kappa"]
        vecs = np.array([[1, 0], [0.6, 0.8]], np.float32)
        raw = torvane.build_problem(texts, vecs, [1, 0], [10, 10], torvane.SelectionDefaults(
            measure="embedding", temperature=None, floor=None, per_token=False))
        np.testing.assert_allclose(raw["relevance_scores"], [1.0, 0.6], rtol=1e-6)
        np.testing.assert_allclose(raw["similarity_matrix"], [[0, 0.6], [0.6, 0]], rtol=1e-6)
        assert "coverage_matrix" not in raw
        with pytest.raises(ValueError, match="one row per text"):
            torvane.build_problem(texts, vecs[:1], [1, 0], [10, 10])
