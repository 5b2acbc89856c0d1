// The smallest program this toolchain and these options make: the C runtime's
// start-up and nothing else. loclistfix's size is measured against it.
int main()
{
    return 0;
}
