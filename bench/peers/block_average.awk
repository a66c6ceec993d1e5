# Block-averages an XMOL trajectory: every `block` frames (default 100)
# become one frame of per-position mean x, y, z, with the mean box length
# (the number after "BOX:" in the comment line) in its comment line.
# Frames after the last full block are dropped. Written for trajectories
# whose frames all hold at least one atom, like those the benchmark makes.
#
#   mawk -v block=100 -v out=averaged.xyz -f block_average.awk INPUT
BEGIN {
    if (block == "") block = 100
    if (out == "") out = "/dev/stdout"
    state = 0          # 0: count line next, 1: comment line next, 2: atom lines
    frames = 0
}
state == 2 {
    i = n - left
    name[i] = $1; sx[i] += $2; sy[i] += $3; sz[i] += $4
    if (--left == 0) {
        state = 0
        if (++frames % block == 0) {
            printf "%d\nafter %s steps, BOX: %.6f\n", n, step, boxsum / block > out
            for (i = 0; i < n; i++) {
                printf "%5s %12.6f %12.6f %12.6f\n", name[i], sx[i] / block, sy[i] / block, sz[i] / block > out
                sx[i] = sy[i] = sz[i] = 0
            }
            boxsum = 0
        }
    }
    next
}
state == 1 {
    step = $2; boxsum += $5
    state = (left > 0) ? 2 : 0
    next
}
state == 0 {
    if (NF == 0) exit
    n = $1 + 0; left = n; state = 1
}
