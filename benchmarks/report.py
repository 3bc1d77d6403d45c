"""results.md (times, targets, the recipes tried) and results.png (one panel per workload group)."""

import math
from importlib import metadata

import numpy as np

# (which workloads, measured against, required ratio, source): the ratio is the other side's time over
# tovrik's, so 3 means tovrik is three times faster and 0.5 that it may take twice as long.
FASTEST = "fastest peer"
TARGET_RULES = [
    ("W1 encode", lambda w, g: w.startswith("W1 encode"), FASTEST, 3.0, "W1"),
    ("W3 float64 copy", lambda w, g: w == "W3 float64 copy", "numpy copy", 1 / 1.3, "W3"),
    ("W4 decode", lambda w, g: w == "W4 decode", FASTEST, 1.5, "W4"),
    ("every encode shape", lambda w, g: g == "encode shapes" and not w.startswith("Categorical"), FASTEST, 3.0,
     "issue 13"),
    ("Categorical", lambda w, g: w.startswith("Categorical"), ("pandas", "cat.codes sorted remap"), 2.0, "issue 13"),
    ("small frames", lambda w, g: w.startswith("small"), FASTEST, 1.5, "issue 13"),
    ("wide frames", lambda w, g: w.startswith("wide object") or w.startswith("wide mixed"), "tovrik, 8 wide", 0.5,
     "issue 13"),
    ("frame decode", lambda w, g: w == "decode tokens frame", "pandas", 1.0, "issue 13"),
    ("ndarray decode", lambda w, g: w == "decode tokens array", "tovrik, frame decode", 1 / 1.5, "issue 13"),
    ("1-row decode", lambda w, g: w.startswith("decode 1 row"), "tovrik, 2-text map", 0.5, "issue 13"),
    ("apply", lambda w, g: w.startswith("apply"), FASTEST, 3.0, "issue 11"),
    ("fit_transform", lambda w, g: w.startswith("fit_transform"), "tovrik, Encoder().encode", 1 / 1.2, "issue 11"),
]
RSS_LIMIT = 2.0  # W1 peak RSS: at most the input plus this many times the output matrix


def fmt(t):
    if t is None:
        return "-"
    for unit, scale in (("s", 1), ("ms", 1e-3), ("µs", 1e-6)):
        if t >= scale or unit == "µs":
            return f"{t / scale:.3g} {unit}" if t / scale < 100 else f"{t / scale:.0f} {unit}"


def is_peer(tool):
    return not tool.startswith("tovrik")


def versions():
    out = {}
    for n in ["numpy", "pandas", "polars", "pyarrow", "scikit-learn", "tovrik"]:
        try:
            out[n] = metadata.version(n)
        except metadata.PackageNotFoundError:
            out[n] = "not installed"
    return out


def by_workload(rows):
    out = {}
    for w, g, tool, t, note in rows:
        out.setdefault(w, {"group": g, "tools": {}})["tools"][tool] = (t, note)
    return out


def target_lines(run, table, heading="## Targets"):
    lines = ["", heading, "", "Ratio: the other side's time over tovrik's (3.00x: tovrik three times faster; "
             "0.50x: tovrik takes twice as long).", "",
             "| target | source | measured | met |", "|---|---|---|---|"]
    recipe_times = {(w, tool, r): t for w, tool, r, t, _ in run.recipes}
    for label, match, against, need, source in TARGET_RULES:
        if not any(match(w, e["group"]) for w, e in table.items()):
            lines.append(f"| {label} | {source} | not measured in this run | - |")
    for w, entry in table.items():
        for _, match, against, need, source in TARGET_RULES:
            if not match(w, entry["group"]):
                continue
            tools = entry["tools"]
            ours = tools.get("tovrik", (None,))[0]
            if against == FASTEST:
                others = {t: v[0] for t, v in tools.items() if is_peer(t) and v[0]}
                other = min(others, key=others.get) if others else None
                other_t = others.get(other)
            elif isinstance(against, tuple):
                other, other_t = f"{against[0]} {against[1]}", recipe_times.get((w, *against))
            else:
                other, other_t = against, tools.get(against, (None,))[0]
            want = (f">= {need:g}x faster than {against if isinstance(against, str) else ' '.join(against)}"
                    if need >= 1 else f"within {1 / need:g}x of {against}")
            if not ours or not other_t:
                lines.append(f"| {w}: {want} | {source} | not measured | - |")
                continue
            ratio = other_t / ours
            lines.append(f"| {w}: {want} | {source} | {ratio:.2f}x ({other} {fmt(other_t)}, tovrik {fmt(ours)}) "
                         f"| {'yes' if ratio >= need else 'no'} |")
    by_n = dict(run.threads)
    if 1 in by_n and 2 in by_n:
        r = by_n[1] / by_n[2]
        lines.append(f"| W2: >= 1.6x faster with 2 threads than 1 | W2 | {r:.2f}x | {'yes' if r >= 1.6 else 'no'} |")
    for label, before, peak, out_bytes in run.rss:
        r = (peak - before) / out_bytes
        lines.append(f"| W1 ({label}) peak RSS <= input + {RSS_LIMIT:g}x output | issue 13 | input + {r:.2f}x "
                     f"output | {'yes' if r <= RSS_LIMIT else 'no'} |")
    return lines


def save(run, path, machine):
    """The raw measurements, so that the report can be drawn again (run.py --redraw)."""
    import json
    path.write_text(json.dumps({"machine": machine, "quick": run.args.quick, "repeat": run.args.repeat,
                                "rows": run.rows, "recipes": run.recipes, "scaling": run.scaling,
                                "threads": run.threads, "rss": run.rss, "cold": run.cold,
                                "skipped": run.skipped}, indent=1) + "\n")


def load(path):
    """A run object read back from save()'s file."""
    import json
    from types import SimpleNamespace
    d = json.loads(path.read_text())
    args = SimpleNamespace(quick=d["quick"], repeat=d["repeat"])
    run = SimpleNamespace(args=args, **{k: [tuple(r) for r in d[k]] for k in ("rows", "recipes", "scaling",
                                                                               "threads", "cold")},
                          rss=[tuple(r) for r in d["rss"]], skipped=d["skipped"])
    return run, d["machine"]


def write(run, outdir, machine):
    outdir.mkdir(parents=True, exist_ok=True)
    args = run.args
    lines = ["# Benchmark results", "",
             f"Machine: {machine}; " + ", ".join(f"{k} {v}" for k, v in versions().items()) + ".",
             f"{'Quick sizes. ' if args.quick else ''}Best of {args.repeat} interleaved rounds in one process on "
             "the same input (the wide frames: at most 3); every recipe checked against tovrik first, then "
             "timed; each tool's fastest correct recipe is shown (all recipes: the last section). Per-call "
             "workloads show the time of one call, averaged over many calls per round.", ""]
    lines += [f"Skipped: {s}." for s in run.skipped]
    lines += ["", "| workload | tool | time | vs tovrik | note |", "|---|---|---:|---:|---|"]
    table = by_workload(run.rows)
    for w, entry in table.items():
        ours = entry["tools"].get("tovrik", (None, ""))[0]
        for tool, (t, note) in entry["tools"].items():
            ratio = f"{t / ours:.2f}x" if t and ours and tool != "tovrik" else ""
            lines.append(f"| {w} | {tool} | {fmt(t)} | {ratio} | {note} |")
    lines += target_lines(run, table)
    if run.scaling or run.threads or run.rss or run.cold:
        lines += ["", "## Scaling and memory", ""]
    if run.scaling:
        lines += ["Scaling of W1 (tovrik): rows, time, ns per row", ""]
        lines += [f"- {r:,} rows: {fmt(t)}, {t / r * 1e9:.0f} ns/row" for r, t in run.scaling]
    if run.threads:
        lines += ["", "W2 by worker count (RAYON_NUM_THREADS):", ""]
        lines += [f"- {n or 'all'}: {fmt(t)}" for n, t in run.threads]
    for label, before, peak, out_bytes in run.rss:
        lines += ["", f"W1 ({label}) peak RSS: {peak / 2**20:.0f} MiB with input resident {before / 2**20:.0f} MiB "
                  f"and output {out_bytes / 2**20:.0f} MiB: input + {(peak - before) / out_bytes:.2f} x output."]
    if run.cold:
        lines += ["", "First W1 encode in a fresh process (tovrik): "
                  + ", ".join(f"{k} {fmt(t)}" for k, t in run.cold) + "."]
    lines += ["", "## Recipes tried", "",
              "Every recipe ran once checked (that run's time counts) and one timed round; only each tool's fastest went on to the rest.", "",
              "| workload | tool | recipe | best time | state |", "|---|---|---|---:|---|"]
    winners = {(w, tool, note.split("; ")[0]) for w, g, tool, t, note in run.rows if t}
    for w, tool, recipe, t, state in run.recipes:
        state = state or ("fastest" if (w, tool, recipe) in winners else "correct, slower")
        lines.append(f"| {w} | {tool} | {recipe} | {fmt(t)} | {state} |")
    (outdir / "results.md").write_text("\n".join(lines) + "\n")
    chart(run, table, outdir / "results.png")


README_BEGIN, README_END = "<!-- results:begin -->", "<!-- results:end -->"


def readme_block(run, machine):
    """The README's summary of a run: each workload's tovrik time against its fastest peer (or, with no
    peer, tovrik's own comparison run), then the targets."""
    table = by_workload(run.rows)
    lines = [f"Machine: {machine}; " + ", ".join(f"{k} {v}" for k, v in versions().items()) + ".",
             f"Best of {run.args.repeat} interleaved rounds{' (quick sizes)' if run.args.quick else ''}.", "",
             "| workload | tovrik | fastest peer | ratio |", "|---|---:|---|---:|"]
    for w, entry in table.items():
        tools = entry["tools"]
        ours = tools.get("tovrik", (None, ""))[0]
        others = ({t: v[0] for t, v in tools.items() if is_peer(t) and v[0]}
                  or {t: v[0] for t, v in tools.items() if t != "tovrik" and v[0]})
        if not others:
            continue
        other = min(others, key=others.get)
        ratio = f"{others[other] / ours:.2f}x" if ours else ""
        lines.append(f"| {w} | {fmt(ours)} | {other} {fmt(others[other])} | {ratio} |")
    lines += target_lines(run, table, heading="Targets:")
    return "\n".join(lines)


def write_readme(run, machine, path):
    """Replaces the README's results block (between its markers) with this run's summary."""
    text = path.read_text()
    start, end = text.index(README_BEGIN) + len(README_BEGIN), text.index(README_END)
    path.write_text(text[:start] + "\n" + readme_block(run, machine) + "\n" + text[end:])


COLORS = {"tovrik": "#d62728", "pandas": "#1f77b4", "pyarrow": "#ff7f0e", "polars": "#2ca02c",
          "scikit-learn": "#9467bd", "numpy": "#8c564b", "numpy copy": "#8c564b"}
VARIANT_SHADES = ["#7f7f7f", "#bcbd22", "#17becf", "#e377c2", "#c7c7c7", "#393b79"]  # tovrik's other rows


def chart(run, table, path):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return
    groups = list(dict.fromkeys(e["group"] for e in table.values()))
    extra = [p for p in ("scaling", "threads") if getattr(run, p)]
    panels = len(groups) + len(extra)
    if not panels:
        return
    cols = 2 if panels > 1 else 1
    rows = math.ceil(panels / cols)
    fig, axes = plt.subplots(rows, cols, figsize=(8 * cols, 4.6 * rows), squeeze=False)
    axes = list(axes.flat)
    for ax, group in zip(axes, groups):
        ws = [w for w, e in table.items() if e["group"] == group]
        tools = list(dict.fromkeys(t for w in ws for t in table[w]["tools"]))
        shades = iter(VARIANT_SHADES)
        colors = {t: COLORS.get(t) or next(shades, "#555555") for t in tools}
        most = max(sum(1 for tool, t in table[w]["tools"].items() if t[0] and tool != "tovrik") for w in ws)
        width = 0.8 / max(most, 1)
        drawn, ratios = set(), [1.0]
        for x, w in enumerate(ws):
            ours = table[w]["tools"].get("tovrik", (None,))[0]
            present = [(tool, t) for tool, (t, _) in table[w]["tools"].items() if t and ours and tool != "tovrik"]
            for i, (tool, t) in enumerate(present):  # bars from 1: up where tovrik is faster, down where slower
                ax.bar(x + (i - (len(present) - 1) / 2) * width, t / ours - 1, width, bottom=1, color=colors[tool],
                       label=None if tool in drawn else tool)
                drawn.add(tool)
                ratios.append(t / ours)
        labels = [f"{w}\ntovrik {fmt(table[w]['tools'].get('tovrik', (None,))[0])}" for w in ws]
        ax.set_xticks(np.arange(len(ws)), labels, rotation=30, ha="right", fontsize=7)
        ax.set_yscale("log")
        ax.axhline(1, color=COLORS["tovrik"], linewidth=1.2, label="tovrik (= 1)")
        lo, hi = min(0.5, min(ratios) / 1.4), max(2.0, max(ratios) * 1.4)
        ax.set_ylim(lo, hi)
        steps = [m * 10.0 ** e for e in range(-4, 5) for m in (1, 2, 5)]
        ax.yaxis.set_major_locator(matplotlib.ticker.FixedLocator([s for s in steps if lo <= s <= hi]))
        ax.yaxis.set_major_formatter(matplotlib.ticker.FuncFormatter(lambda v, _: f"{v:g}"))
        ax.yaxis.set_minor_locator(matplotlib.ticker.NullLocator())
        ax.grid(axis="y", linewidth=0.3)
        ax.set_ylabel("time / tovrik's time (log)", fontsize=8)
        ax.set_title(group)
        ax.legend(fontsize=7, ncol=3)
    rest = axes[len(groups):]
    if run.scaling:
        ax = rest.pop(0)
        ax.plot([r for r, _ in run.scaling], [t / r * 1e9 for r, t in run.scaling], marker="o")
        ax.set_xscale("log")
        ax.set_xlabel("rows")
        ax.set_ylabel("ns per row")
        ax.set_title("W6: W1 scaling (tovrik)")
        ax.set_ylim(bottom=0)
    if run.threads:
        ax = rest.pop(0)
        import os
        labels = [str(n) if n else f"all ({os.cpu_count()})" for n, _ in run.threads]
        ax.plot(labels, [t * 1e3 for _, t in run.threads], marker="o")
        ax.set_xlabel("worker threads (RAYON_NUM_THREADS)")
        ax.set_ylabel("ms")
        ax.set_ylim(bottom=0)
        ax.set_title("W6: W2 by worker count (tovrik)")
    for ax in rest:
        ax.axis("off")
    fig.suptitle("Each bar: a tool's time over tovrik's on the same workload (above 1: tovrik is faster); "
                 "tovrik's own time under each label", fontsize=10)
    fig.tight_layout(rect=(0, 0, 1, 1 - 0.3 / fig.get_figheight()))
    fig.savefig(path, dpi=90)
