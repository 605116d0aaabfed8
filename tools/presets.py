"""The pip arguments that build the module as a configure preset of CMakePresets.json, where the
project's build variants are written once: the preset itself (CMake takes its cache variables;
scikit-build-core's build folder wins over the preset's), its build type (scikit-build-core
passes its own, which CMake would take over the preset's) and its pip settings (the preset's
vendor map, inherited as the cache variables are). noxfile.py imports it; the wheel scripts run
`python tools/presets.py NAME`, which prints the arguments one a line."""

import json
import sys
from pathlib import Path

PRESETS = Path(__file__).resolve().parents[1] / "CMakePresets.json"


def pip_args(name: str) -> list[str]:
    presets = {p["name"]: p for p in json.loads(PRESETS.read_text())["configurePresets"]}

    def resolved(name: str) -> tuple[dict, dict]:
        if name not in presets:
            raise SystemExit(
                f"no build variant '{name}' in CMakePresets.json: {', '.join(presets)}"
            )
        preset, cache, pip = presets[name], {}, {}
        parents = preset.get("inherits", [])
        # The first parent named wins over the later ones, the preset itself over all of them.
        for parent in reversed([parents] if isinstance(parents, str) else parents):
            parent_cache, parent_pip = resolved(parent)
            cache.update(parent_cache)
            pip.update(parent_pip)
        cache.update(preset.get("cacheVariables", {}))
        pip.update(preset.get("vendor", {}).get("orvantis-torvane-core/pip", {}))
        return cache, pip

    cache, pip = resolved(name)
    build_type = cache.get("CMAKE_BUILD_TYPE")
    if isinstance(build_type, dict):
        build_type = build_type["value"]
    settings = [f"cmake.args=--preset={name}"]
    settings += [f"cmake.build-type={build_type}"] if build_type else []
    settings += [f"{key}={value}" for key, value in pip.items()]
    return [arg for setting in settings for arg in ("-C", setting)]


if __name__ == "__main__":
    print(*pip_args(sys.argv[1]), sep="\n")
