# Signed archives: -K (the keys in keys/; a passphrase, an agent), the signer's fingerprint in -l as
# ssh-keygen -l shows it, -k with keys files of every form, what the builder
# and -k refuse, and the README's recipe that checks a signature with
# ssh-keygen alone. Expected output: signature.out.
. "$KIT"
command -v ssh-keygen >/dev/null || { echo "ssh-keygen is not installed"; exit 77; }
cp "$(dirname "$KIT")"/keys/* . && chmod 600 signer other locked
seq 1 500 > f
build a -K signer f
build raw -a -K signer.pub f
build u f

echo '# the signer as ssh-keygen -l shows it; with -k, whether it verified'
t ssh-keygen -l -f signer.pub
for args in './a' '-k signer.pub ./raw ./a' '-k other.pub ./a' '-k signer.pub ./u'; do t kivra -l $args; done

echo '# a key with a passphrase (ssh-keygen asks for it, here through SSH_ASKPASS), and one in an agent'
printf '#!/bin/sh\necho kivra-test\n' > askpass
chmod 755 askpass
mkdir agent && cp locked.pub agent/
export SSH_ASKPASS="$PWD/askpass" SSH_ASKPASS_REQUIRE=force
t sh -c 'kivra -K locked f > l && kivra -l -k locked.pub ./l | grep Signed'
t ssh-agent sh -c 'ssh-add -q locked </dev/null && kivra -K agent/locked.pub f > g && kivra -l -k locked.pub ./g | grep Signed'
unset SSH_ASKPASS SSH_ASKPASS_REQUIRE

echo '# keys files: comments, blank lines, other key types, options (a quoted key in them is no key)'
{
    echo '# trusted'
    echo
    cat ecdsa.pub
    printf 'from="10.0.0.1",command="x %s y" %s' "$(cut -d' ' -f1,2 other.pub)" "$(cat signer.pub)"
} > authorized
printf 'ssh-ed25519 AAAA\n' > bad
for keys in authorized bad ecdsa.pub missing; do t kivra -l -k $keys ./a; done

echo '# what the builder refuses before it writes anything'
for args in '-K ecdsa.pub' '-K f' '-K missing' '-F SIGNED'; do t kivra $args f; done

echo '# ssh-keygen fails: the output is no archive'
mkdir fake
printf '#!/bin/sh\necho "ssh-keygen: no" >&2\nexit 3\n' > fake/ssh-keygen
chmod 755 fake/ssh-keygen
t sh -c 'PATH="$PWD/fake:$PATH" kivra -K signer f > failed'
chmod 755 failed
t kivra -l ./failed

echo '# checked by ssh-keygen alone, as the README shows'
verify() {
    a=$1
    at=$(tail -c 20 "$a" | head -c 8 | od -An -tu8 --endian=big)   # where the signature begins
    tail -c +$((at + 1)) "$a" | head -c -20 > "$a.sig"              # the signature, as ssh-keygen wrote it
    echo "publisher $(cat signer.pub)" > allowed_signers
    head -c "$at" "$a" | ssh-keygen -Y verify -f allowed_signers -I publisher -n kivra -s "$a.sig"
}
for a in ./a ./raw; do t verify $a; done
