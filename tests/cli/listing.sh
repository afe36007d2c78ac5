# -l on archives made by the real builder: the trailer lines, the statistics
# line (sizes of the whole payload and of the last member, ratio, the first
# member's name), the verbose columns, the column header once per run, an
# archive listing itself, multi-file and raw archives, and operands that are
# no archive. Expected output: listing.out.
. "$KIT"

mkdir -p d/e sub
seq 0 2599 | sed 's/.*/line & of the payload/' > d/e/f.tar
echo 'hello, world' > g
: > empty
printf '#!/bin/sh\n' > stub
build noise.bin -p ./stub d/e/f.tar g

build a -C 'My product' -r /tmp/init.qm -f 'cd /; cat | tar -x -b 1 -Pf -  2>/tmp/qmextract' \
    -V /tmp -S qm -O Tessaline d/e/f.tar
build b g
build raw -a d/e/f.tar

echo '# archives of the builder'
for args in '-l ./a' '-l ./b' '-v -l ./a' '-c -l ./b' '-l ./raw' '-l ./raw ./a ./b' '-l sub/../b'; do
    t kivra $args
done

echo '# the exact total recorded from 4 GiB on (2^32 + 13), used only where it agrees with the size field'
build big -F TOTALSIZE=4294967309 g
build odd -F TOTALSIZE=4294967310 g
for a in ./big ./odd; do t kivra -l $a; done

echo '# control characters in the trailer and the stored name pass through a pipe unchanged'
ctl=$(printf 'e\033x')
cp g "$ctl"
build ctl -C "$(printf 'a\033[2Jb\r\n\tc\\d\177\a\b\v\f')" -r "$(printf 'x\001y')" "$ctl"
t kivra -l ./ctl

echo '# an archive lists itself, whatever operands follow'
t ./a -l
t ./a -l ./b missing
t ./a -u -l ./b missing
t kivra -u -l ./a ./b
t kivra -l

echo '# standard input closed: the archive becomes descriptor 0'
t sh -c 'kivra -l ./b ./b <&-'

echo '# each archive is given up before the next is opened'
t sh -c 'ulimit -n 8; kivra -l ./b ./b ./b ./b ./b ./b ./b ./b ./b ./b ./b ./b'

echo '# multi-file archives: whole payload, total size and CRC of the last input, first name'
build m1 d/e/f.tar g
t kivra -l ./m1
build m2 d/e/f.tar noise.bin g
t kivra -v -l ./m2
build m3 missing noise.bin d/e/f.tar
t kivra -v -l ./m3
build m4 g empty
t kivra -v -l ./m4
build m5 -a d/e/f.tar missing noise.bin g
t kivra -l ./m5

echo '# operands that are no archive'
off=$(payload_offset b)
{ head -c $off b; printf P; tail -c +$((off + 2)) b; } > notgz
{ head -c $((off + 2)) b; printf '\007'; tail -c +$((off + 4)) b; } > method7
head -c $off b > empty-payload
head -c $((off + 11)) b > cut  # inside the stored name
head -c $((off + 15)) b > cutafter  # 12 header bytes, then 3 of 10 or more
printf '#!/bin/sh\necho no archive\n' > script
cp b noexec
chmod 755 notgz method7 empty-payload cut cutafter script
chmod 644 noexec
for args in noexec ./noexec ./missing ./script ./notgz ./method7 './script ./b ./notgz' './cutafter ./b' \
    './empty-payload ./b' ./cut; do
    t kivra -l $args
done
