#!/usr/bin/env bash
# Checks that includes between the library's top-level folders point down only, so that the
# folders form no cycle: each folder may include the folders before it in this order, and
# nothing in stats/ includes a Qt Widgets header. The library's folders are included by their
# installed name, "zelstats/data/DataSet.h"; the others (app/, tests/, bench/) by their path.
set -euo pipefail
cd "$(dirname "$0")/.."

layers=(data tools stats gui windows plot components design app)
rank() { local i; for i in "${!layers[@]}"; do [[ ${layers[$i]} == "$1" ]] && echo "$i" && return; done; echo -1; }

status=0
for from in "${layers[@]}"; do
    while IFS=: read -r file line target; do
        target=${target#zelstats/}
        to=${target%%/*}
        r=$(rank "$to")
        [[ $r -lt 0 || $to == "$from" ]] && continue
        # windows/ and plot/ share a rank: neither includes the other.
        if [[ $r -ge $(rank "$from") ]] || [[ $from == windows && $to == plot ]] || [[ $from == plot && $to == windows ]]; then
            echo "$file:$line: $from/ includes $target, which is not below it"
            status=1
        fi
    done < <(grep -rnoE '#include "(zelstats/)?[a-z]+/[^"]+"' "$from" --include='*.h' --include='*.cpp' \
             | sed -E 's/:#include "/:/; s/"$//')
done
library='(data|tools|stats|gui|windows|plot|components|design)'
if grep -rnE "#include [<\"]$library/" --include='*.h' --include='*.cpp' --exclude-dir=consumer \
       "${layers[@]}" examples tests bench; then
    echo "these include a library header without its zelstats/ folder"
    status=1
fi
if grep -rnE '#include <Q(Widget|Dialog|Application|MessageBox|Label|PushButton)' stats; then
    echo "stats/ includes a Qt Widgets header"
    status=1
fi
[[ $status -eq 0 ]] && echo "the folders' includes point down only"
exit $status
